'use strict';
// Who gets into the bridge under Wine, and how it ends: browser origins, the token, the
// cap on connections that have not shown it, liveness, bounded replies, the stop request
// and a second start. Nothing refused ever reaches the NDI runtime, and the one bridge
// keeps serving its own application throughout.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('./rig');

const work = path.join(rig.BUILD_DIR, 'tests', 'app', 'work', `door-${process.pid}`);
fs.rmSync(work, { recursive: true, force: true });

const ALLOWED = 'http://127.0.0.1:5173';
const HELLO = { type: 'hello', source: 'door', width: 32, height: 16, fpsN: 30, format: 'RGBA' };
const FRAME_BYTES = 32 * 16 * 4;

async function start(name, env = {}) {
  const dir = path.join(work, name);
  const { bridge, ndiLog } = await rig.startStandinBridge({
    dir, env: { KESTOVAR_BRIDGE_ORIGINS: ` ${ALLOWED} ,https://app.example`, ...env },
  });
  return { bridge, ndiLog, sources: () => ndiLog.all().filter((e) => e.event === 'send_create').map((e) => rig.standin.fromHex(e.name)) };
}

async function refusalOf(port, hello, options) {
  const client = rig.connect(port, options);
  await client.opened;
  await client.send(JSON.stringify(hello));
  const closed = await client.done;
  return { ...closed, error: client.messages.find((m) => m.type === 'error') };
}

test('origins, tokens and the pending cap: only the user\'s application publishes', async (t) => {
  const { bridge, ndiLog, sources } = await start('who');
  t.after(() => bridge.stop());

  const foreign = rig.connect(bridge.port, { origin: 'http://127.0.0.1:9999' });
  await assert.rejects(foreign.opened, /Unexpected server response: 403/);
  const listed = await rig.openSession(bridge.port, { ...HELLO, source: 'listed page' }, { origin: ALLOWED });
  listed.socket.close(1000);
  await listed.done;

  // A right application holds the slot; strangers with no or a wrong token are turned
  // away without disturbing it, and take nothing.
  const app = await rig.openSession(bridge.port, HELLO);
  for (const token of [undefined, '', 'f'.repeat(64), bridge.token.slice(0, 63), bridge.token + '0', 42]) {
    const refused = await refusalOf(bridge.port, { ...HELLO, source: 'stranger', token });
    assert.deepEqual([refused.code, refused.error.error], [1008, 'bad_token'], String(token));
  }
  const stopAttempt = await refusalOf(bridge.port, { type: 'shutdown', token: 'nope' });
  assert.deepEqual([stopAttempt.code, stopAttempt.error.error], [1008, 'bad_token']);
  const busy = await refusalOf(bridge.port, { ...HELLO, token: bridge.token, source: 'second' });
  assert.deepEqual([busy.code, busy.error.error], [1013, 'busy']);

  // Connections that never show the token are capped; the capped one gets no answer at all.
  const idle = [];
  for (let i = 0; i < 16; i++) idle.push(await rig.rawConnect(bridge.port, { handshake: false }));
  const extra = await rig.rawConnect(bridge.port, { handshake: false });
  const { head } = await extra.closed(10000);
  assert.equal(head, '');
  for (const c of idle) c.socket.destroy();

  const frame = rig.testFrame(FRAME_BYTES, 77);
  await app.send(frame);
  await rig.waitFor('the application frame', () =>
    ndiLog.all().some((e) => e.event === 'send_video' && e.fnv === rig.standin.fnv1a64(frame)), 30000);
  app.socket.close(1000);
  await app.done;
  assert.deepEqual(sources(), ['listed page', 'door']);
  assert.ok(bridge.records().some((r) => r.event === 'connections_refused'));
});

test('silent clients are let go, a ping flood is cut off, and the bridge keeps serving', async (t) => {
  const { bridge, ndiLog } = await start('bounded', {
    KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS: '1500', KESTOVAR_BRIDGE_PING_INTERVAL_MS: '200', KESTOVAR_BRIDGE_PING_TIMEOUT_MS: '1500',
  });
  t.after(() => bridge.stop());
  const mute = await rig.rawConnect(bridge.port, { handshake: false });
  assert.equal((await mute.closed(20000)).status, 408);
  const quiet = await rig.rawConnect(bridge.port);
  const quietClose = (await quiet.closed(20000)).frames.find((f) => f.opcode === 8);
  assert.deepEqual([quietClose.code, quietClose.reason], [1008, 'no hello within 1500 ms']);

  // An application whose socket stays open but who answers nothing loses the slot and its
  // sender; one that sends no frames but answers pings (ws does) stays.
  const silent = await rig.rawConnect(bridge.port);
  await silent.write(rig.maskedFrame(1, Buffer.from(JSON.stringify({ ...HELLO, token: bridge.token }))));
  const silentClose = (await silent.closed(20000)).frames.find((f) => f.opcode === 8);
  assert.match(silentClose.reason, /no answer for 1500 ms/);
  await rig.waitFor('the sender to go', () => ndiLog.all().some((e) => e.event === 'send_destroy'), 10000);
  const patient = await rig.openSession(bridge.port, HELLO);
  await rig.sleep(3000);
  assert.equal(patient.socket.readyState, 1, 'a client that answers pings stays connected');
  patient.socket.close(1000);
  await patient.done;

  // Pings sent by an application that never reads: its answers pile up until it is cut off.
  const flood = await rig.rawConnect(bridge.port);
  await flood.write(rig.maskedFrame(1, Buffer.from(JSON.stringify({ ...HELLO, token: bridge.token }))));
  await flood.until('ready', () => (flood.text().includes('"ready"') ? true : undefined));
  flood.socket.pause();
  const ping = rig.maskedFrame(9, Buffer.alloc(125, 1));
  await flood.write(Buffer.concat(Array.from({ length: 100000 }, () => ping)));
  await rig.waitFor('the flood to be cut off', () =>
    bridge.records().some((r) => r.event === 'client_closed' && r.code === '1008' && /replies waiting/.test(r.reason)), 60000);
  flood.socket.destroy();
  const after = await rig.openSession(bridge.port, HELLO);
  after.socket.close(1000);
  await after.done;
  assert.equal(bridge.alive(), true);
});

test('the stop request ends the bridge in order; a second start leaves the first alone', async () => {
  const { bridge, ndiLog } = await start('stop');
  const stateFile = path.join(bridge.stateDir, 'bridge.json');
  const state = fs.readFileSync(stateFile, 'utf8');

  // A second start, as from a double-click: it sees the running bridge and leaves.
  const second = await rig.startBridge({ dir: path.join(work, 'second'), env: { KESTOVAR_BRIDGE_STATE_DIR: rig.windowsPath(bridge.stateDir) } })
    .then(() => assert.fail('the second bridge listened'), (error) => error.message);
  assert.match(second, /bridge exited early \(\{"code":0,"signal":null\}\)/);
  assert.match(second, / already_running pid=\d+ port=\d+/);
  assert.equal(fs.readFileSync(stateFile, 'utf8'), state);

  const app = await rig.openSession(bridge.port, HELLO);
  await app.send(rig.testFrame(FRAME_BYTES, 5));
  await rig.waitFor('the frame', () => ndiLog.all().some((e) => e.event === 'send_video'), 30000);
  const requester = rig.connect(bridge.port);
  await requester.opened;
  await requester.send(JSON.stringify({ type: 'shutdown', token: bridge.token }));
  assert.equal((await app.done).code, 1001);
  assert.equal((await requester.done).code, 1000);
  assert.deepEqual(await bridge.exited, { code: 0, signal: null });
  assert.equal(fs.existsSync(stateFile), false);
  assert.equal(ndiLog.all().filter((e) => e.event === 'send_destroy').length, 1);
  assert.deepEqual(bridge.records().filter((r) => r.event === 'shutdown').map((r) => r.reason), ['request']);
});
