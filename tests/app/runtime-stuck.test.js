'use strict';
// A bridge whose NDI runtime never returns from destroying its sender (the stand-in with
// NDI_STANDIN_BLOCK_DESTROY=1, as the vendor's runtime under Wine) still ends within
// 10 s: on the stop tool, on a signal and at the end of a session. It logs
// runtime_stuck, removes its state file and exits 20; the next bridge starts as usual.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const rig = require('../rig');

const work = rig.workDir('app', 'runtime-stuck');
const EXIT_RUNTIME_STUCK = 20;
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

function assertStuckExit(end, bridge, ndiLog) {
  assert.equal(end.code, EXIT_RUNTIME_STUCK);
  assert.ok(end.ms < 10000, `ended after ${end.ms} ms`);
  assert.equal(end.stuck.length, 1);
  assert.equal(end.stuck[0].call, 'stop');
  assert.ok(ndiLog.all().some((e) => e.event === 'send_destroy_blocked'), 'the destroy really blocked');
  assert.equal(fs.existsSync(path.join(bridge.stateDir, 'bridge.json')), false, 'state file removed');
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

test('a session end and a signal whose destroy hangs end the bridge; the next one starts and stops as usual', async () => {
  const dir = path.join(work, 'session');
  let { bridge, ndiLog, client } = await publishing(dir, STUCK);
  let since = Date.now();
  client.socket.close();
  assertStuckExit(await ending(bridge, since), bridge, ndiLog);

  ({ bridge, ndiLog } = await publishing(dir, STUCK));
  since = Date.now();
  process.kill(bridge.unixPid, 'SIGINT');
  assertStuckExit(await ending(bridge, since), bridge, ndiLog);

  // The ordinary path on the same state directory: exit 0, nothing stuck.
  ({ bridge, ndiLog, client } = await publishing(dir, {}));
  client.socket.close();
  await rig.waitFor('the sender to be destroyed', () => ndiLog.all().some((e) => e.event === 'send_destroy'), 30000);
  await bridge.stop();
  const end = await ending(bridge, Date.now());
  assert.equal(end.code, 0);
  assert.deepEqual(end.stuck, []);
});
