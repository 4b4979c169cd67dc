'use strict';
// A bridge whose NDI runtime never returns from destroying its sender (the stand-in with
// NDI_STANDIN_BLOCK_DESTROY=1, as the vendor's runtime under Wine) still ends within
// 10 s: on the stop tool, on a signal and at the end of a session. It logs
// runtime_stuck and exits 20; asked to stop, it ends for good (state file removed, the
// monitor exits 20); at a session's end its monitor starts it again. A bridge that
// crashes (the stand-in's NDI_STANDIN_CRASH_AT_FRAME) comes back with the same door, and
// a crash loop ends with gave_up.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const rig = require('../rig');
const { connect } = require('../../client/index.cjs');
const { askBridge, firstMessage } = require('../../app/src/bridge-client');

const work = rig.workDir('app', 'runtime-stuck');
const EXIT_RUNTIME_STUCK = 20;
const EXIT_GAVE_UP = 21;
const STUCK = { NDI_STANDIN_BLOCK_DESTROY: '1', KESTOVAR_BRIDGE_RUNTIME_CALL_MS: '2000' };
const hello = { source: 'stuck', width: 32, height: 18, fpsN: 30, format: 'RGBA' };

async function publishing(dir, env) {
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir, env });
  const client = await rig.openSession(bridge.port, hello);
  await client.send(rig.testFrame(client.ready.frameBytes, 1));
  await rig.waitFor('the frame', () => ndiLog.all().some((e) => e.event === 'send_video'), 30000);
  return { bridge, ndiLog, client };
}

// How the bridge ended, and how long after `since`.
async function ending(bridge, since) {
  const exited = await bridge.exited;
  return { code: exited.code, ms: Date.now() - since, stuck: bridge.records().filter((r) => r.event === 'runtime_stuck') };
}

// stucks: runtime_stuck records so far; restarted: bridges the monitor started again before.
function assertStuckExit(end, bridge, ndiLog, { stucks = 1, restarted = 0 } = {}) {
  assert.equal(end.code, EXIT_RUNTIME_STUCK);
  assert.ok(end.ms < 10000, `ended after ${end.ms} ms`);
  assert.deepEqual(end.stuck.map((r) => r.call), Array(stucks).fill('stop'));
  assert.ok(ndiLog.all().some((e) => e.event === 'send_destroy_blocked'), 'the destroy really blocked');
  assert.equal(fs.existsSync(path.join(bridge.stateDir, 'bridge.json')), false, 'state file removed');
  assert.equal(restarts(bridge).length, restarted, 'a requested stop starts nothing again');
}

function restarts(bridge) {
  return bridge.records().filter((r) => r.event === 'bridge_restarted');
}

// An application on the client library that finds port and token in the state file at
// each attempt; sendNext() sends a new frame, accepted keeps the checksums of those taken.
// It is closed when the test ends, however it ends.
async function reconnectingApp(t, stateDir, source, reconnect = true) {
  const app = await connect({ locate: async () => rig.adoptState(stateDir), source, width: 32, height: 18, fps: 30, reconnect });
  t.after(() => app.close());
  app.accepted = new Set();
  let n = 0;
  app.sendNext = async (frame = rig.testFrame(app.frameBytes, ++n)) => {
    if (await app.sendFrame(frame)) app.accepted.add(rig.fnv1a64(frame));
    else await rig.sleep(20);
  };
  return app;
}

test('the stop tool ends a bridge whose runtime never returns', async () => {
  const dir = path.join(work, 'tool');
  const { bridge, ndiLog, client } = await publishing(dir, STUCK);
  const output = path.join(dir, 'stop.txt');
  const since = Date.now();
  const stop = spawnSync(rig.WINE_EXEC, [rig.PREFIX, path.join(rig.STAGE_DIR, 'runtime', 'kestovar-ndi-bridge.exe'),
    rig.windowsPath(path.join(rig.STAGE_DIR, 'app', 'src', 'stop.js'))], {
    env: rig.wineEnv({ KESTOVAR_BRIDGE_STATE_DIR: rig.windowsPath(bridge.stateDir) }),
    stdio: ['ignore', fs.openSync(output, 'w'), 'ignore'], timeout: 60000,
  });
  const end = await ending(bridge, since);
  assertStuckExit(end, bridge, ndiLog);
  assert.equal(stop.status, 0, rig.readText(output));
  assert.match(rig.readText(output), /has stopped/);
  assert.equal((await client.done).code, 1001, 'the application was told first');
  assert.deepEqual(bridge.records().filter((r) => r.event === 'shutdown').map((r) => r.reason), ['request']);
});

test('a session end whose destroy hangs brings the bridge back; a signal ends it; the next one starts and stops as usual', async () => {
  const dir = path.join(work, 'session');
  let { bridge, ndiLog, client } = await publishing(dir, STUCK);
  const seen = firstMessage('identify', bridge.token);
  assert.ok((await askBridge(bridge.port, seen, 5000)).some((answer) => answer.type === 'identity'));
  client.socket.close();
  // The state file names the new bridge once it serves, with the same door.
  const state = await rig.waitFor('the bridge to come back', () => {
    const now = rig.adoptState(bridge.stateDir);
    return now.pid !== bridge.pid && now;
  }, 30000);
  assert.deepEqual([state.port, state.token], [bridge.port, bridge.token]);
  assert.deepEqual(restarts(bridge).map((r) => [r.previous_pid, r.exit_code, r.attempt]), [[String(bridge.pid), '0x14', '1']]);
  assert.ok((await askBridge(bridge.port, seen, 5000)).some((answer) => answer.error === 'bad_token'), 'a proof seen before is not good after');
  await rig.openSession(bridge.port, hello);
  const since = Date.now();
  process.kill(bridge.unixPid, 'SIGINT');
  assertStuckExit(await ending(bridge, since), bridge, ndiLog, { stucks: 2, restarted: 1 });

  // The ordinary path on the same state directory: exit 0, nothing stuck.
  ({ bridge, ndiLog, client } = await publishing(dir, {}));
  client.socket.close();
  await rig.waitFor('the sender to be destroyed', () => ndiLog.all().some((e) => e.event === 'send_destroy'), 30000);
  await bridge.stop();
  const end = await ending(bridge, Date.now());
  assert.equal(end.code, 0);
  assert.deepEqual(end.stuck, []);
});

test('a bridge that crashes comes back on the same port with the same token, and the application publishes again', async (t) => {
  const dir = path.join(work, 'crash');
  const crashOnce = { NDI_STANDIN_CRASH_AT_FRAME: '30', NDI_STANDIN_CRASH_ONCE: rig.windowsPath(path.join(dir, 'crashed')) };
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir, env: crashOnce });
  const app = await reconnectingApp(t, bridge.stateDir, 'comes back');
  const crash = () => ndiLog.all().find((e) => e.event === 'crash');
  const framesAfterCrash = () => ndiLog.all().filter((e) => e.event === 'send_video' && crash() && e.pid !== crash().pid);
  while (framesAfterCrash().length < 10) await app.sendNext();

  assert.equal(crash().frame, '30');
  const [restarted] = restarts(bridge);
  assert.deepEqual([restarted.previous_pid, restarted.exit_code, restarted.attempt, restarted.waited_ms],
    [String(bridge.pid), '0xc0000005', '1', '0']);
  const state = rig.adoptState(bridge.stateDir);
  assert.deepEqual([state.port, state.token, String(state.pid)], [bridge.port, bridge.token, framesAfterCrash()[0].pid], 'the same door, naming the serving process');
  assert.ok(framesAfterCrash().every((e) => app.accepted.has(e.fnv)), 'frames after the crash are the application\'s, byte-exact');
  const status = await (await fetch(`http://127.0.0.1:${bridge.port}/status.json`)).json();
  assert.deepEqual([status.bridge.pid, status.bridge.restarts.count, status.bridge.restarts.last.exitCode], [state.pid, 1, '0xc0000005']);

  await app.close();
  assert.equal((await bridge.stop()).code, 0);
  assert.equal(restarts(bridge).length, 1);
});

test('a bridge that crashes at every start: the monitor gives up after 5 ends in a minute', async (t) => {
  const dir = path.join(work, 'loop');
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir, env: { NDI_STANDIN_CRASH_AT_FRAME: '3' } });
  const app = await reconnectingApp(t, bridge.stateDir, 'crash loop', { minDelayMs: 50, maxDelayMs: 200 });
  while (bridge.alive()) await app.sendNext();
  await app.close();

  assert.equal((await bridge.exited).code, EXIT_GAVE_UP);
  assert.equal(ndiLog.all().filter((e) => e.event === 'crash').length, 5);
  assert.deepEqual(restarts(bridge).map((r) => [r.attempt, r.waited_ms]), [['1', '0'], ['2', '500'], ['3', '1000'], ['4', '2000']]);
  assert.deepEqual(bridge.records().filter((r) => r.event === 'gave_up').map((r) => [r.ends, r.exit_code]),
    [[Array(5).fill('0xc0000005').join(','), String(EXIT_GAVE_UP)]]);
  assert.equal(fs.existsSync(path.join(bridge.stateDir, 'bridge.json')), false, 'state file removed');
});
