'use strict';
// The bridge without a usable NDI runtime: it says so in its log, tells each application
// why it cannot publish, keeps serving, and picks the runtime up once the machine value
// points at one, without a restart. A runtime that refuses the sender is reported too.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('../rig');

const work = rig.workDir('app', 'runtime-missing');

const HELLO = { source: 'no runtime', width: 16, height: 16, fpsN: 30, format: 'RGBA' };

async function refusedHello(port) {
  const client = rig.connect(port);
  await client.opened;
  await client.send(JSON.stringify({ token: rig.tokens.get(port), ...HELLO }));
  return { ...(await client.done), error: client.messages.find((m) => m.type === 'error') };
}

test('no runtime: refused with the reason, then found once installed', async (t) => {
  const ndiLog = rig.openStandinLog(path.join(work, 'standin.log'));
  rig.setNdiRuntimeDir(null);
  const bridge = await rig.startBridge({ dir: path.join(work, 'missing'), env: { NDI_STANDIN_LOG: rig.windowsPath(ndiLog.file) } });
  t.after(() => bridge.stop());
  assert.equal(bridge.records().find((r) => r.event === 'server_start').ndi_runtime, 'unavailable');

  for (let i = 0; i < 2; i++) {
    const { code, reason, error } = await refusedHello(bridge.port);
    assert.equal(code, 1011);
    assert.equal(reason, 'NDI runtime not available on this machine');
    assert.equal(error.message, reason);
  }
  assert.equal(bridge.records().filter((r) => r.event === 'ndi_runtime_unavailable').length, 2);
  assert.deepEqual(ndiLog.all(), []);

  // The runtime appears while the bridge runs.
  rig.setNdiRuntimeDir(rig.standinDir('full'));
  const client = await rig.openSession(bridge.port, HELLO);
  const frame = rig.testFrame(16 * 16 * 4, 99);
  await client.send(frame);
  client.socket.close(1000);
  await client.done;
  await rig.waitFor('send_destroy', () => ndiLog.all().some((e) => e.event === 'send_destroy'), 30000);
  assert.equal(ndiLog.all().find((e) => e.event === 'send_video').fnv, rig.fnv1a64(frame));
});

test('a runtime that refuses the sender: refused with the reason, bridge keeps serving', async (t) => {
  rig.setNdiRuntimeDir(rig.standinDir('full'));
  const bridge = await rig.startBridge({ dir: path.join(work, 'refuse'), env: { NDI_STANDIN_CREATE_REFUSE: '1' } });
  t.after(() => bridge.stop());
  for (let i = 0; i < 2; i++) {
    const { code, reason } = await refusedHello(bridge.port);
    assert.equal(code, 1011);
    assert.equal(reason, 'the NDI runtime refused to create the sender');
  }
  assert.equal(bridge.records().filter((r) => r.event === 'sender_refused').length, 2);
  assert.equal(bridge.alive(), true);
});
