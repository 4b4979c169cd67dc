'use strict';
// The door of the real bridge runtime under Wine, one case per path (each path's every
// case is bridge.test.js's, in this machine's node): a foreign origin is refused and a
// listed one publishes, a wrong token takes nothing, a second start leaves the running
// bridge alone, a port held by another program is an error, and the stop request ends
// the process in order.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('../rig');

const work = rig.workDir('app', 'door');

const ALLOWED = 'http://127.0.0.1:5173';
const HELLO = { type: 'hello', source: 'door', width: 32, height: 16, fpsN: 30, format: 'RGBA' };
const FRAME_BYTES = 32 * 16 * 4;

test('only the user\'s application publishes; the stop request ends the bridge in order', async () => {
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir: path.join(work, 'door'), env: { KESTOVAR_BRIDGE_ORIGINS: ALLOWED } });
  const stateFile = path.join(bridge.stateDir, 'bridge.json');
  const state = fs.readFileSync(stateFile, 'utf8');

  const foreign = rig.connect(bridge.port, { origin: 'http://127.0.0.1:9999' });
  await assert.rejects(foreign.opened, /Unexpected server response: 403/);
  const stranger = rig.connect(bridge.port);
  await stranger.opened;
  await stranger.send(JSON.stringify({ ...HELLO, token: 'f'.repeat(64) }));
  assert.equal((await stranger.done).code, 1008);

  // A second start, as from a double-click, sees the running bridge and leaves; one that
  // finds the port held by something else that is not its bridge says so and fails.
  const second = await rig.startBridge({ dir: path.join(work, 'second'), env: { KESTOVAR_BRIDGE_STATE_DIR: rig.windowsPath(bridge.stateDir) } })
    .then(() => assert.fail('the second bridge listened'), (error) => error.message);
  assert.match(second, /bridge exited early \(\{"code":0,"signal":null\}\)[^]* already_running pid=\d+ port=\d+/);
  assert.equal(fs.readFileSync(stateFile, 'utf8'), state);
  const other = await rig.startBridge({ dir: path.join(work, 'other'), env: { KESTOVAR_BRIDGE_PORT: String(bridge.port) } })
    .then(() => assert.fail('the other bridge listened'), (error) => error.message);
  assert.match(other, /bridge exited early \(\{"code":3,"signal":null\}\)[^]* port_in_use port=\d+/);

  const app = await rig.openSession(bridge.port, HELLO, { origin: ALLOWED });
  const frame = rig.testFrame(FRAME_BYTES, 5);
  await app.send(frame);
  await rig.waitForFrame(ndiLog, frame);
  const requester = rig.connect(bridge.port);
  await requester.opened;
  await requester.send(JSON.stringify({ type: 'shutdown', token: bridge.token }));
  assert.equal((await app.done).code, 1001);
  assert.equal((await requester.done).code, 1000);
  assert.deepEqual(await bridge.exited, { code: 0, signal: null });
  assert.equal(fs.existsSync(stateFile), false);
  assert.equal(ndiLog.all().filter((e) => e.event === 'send_destroy').length, 1);
  assert.deepEqual(ndiLog.all().filter((e) => e.event === 'send_create').map((e) => rig.fromHex(e.name)), ['door']);
  assert.deepEqual(bridge.records().filter((r) => r.event === 'shutdown').map((r) => r.reason), ['request']);
});
