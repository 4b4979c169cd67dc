'use strict';
// The client library in the Windows node.exe against the installed bridge under Wine:
// port and token from the state file, frames byte-exact at the stand-in NDI runtime,
// the bridge's own refusals, and the stop request.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const rig = require('../rig');

const work = rig.workDir('client', 'real-bridge');
const FRAMES = 20;

// node.exe fails with EBADF on a pipe, so its output goes to a file.
function runWindowsNode(script, args, env) {
  const output = path.join(work, 'node-output.txt');
  const fd = fs.openSync(output, 'w');
  const child = spawn(rig.WINE_EXEC, [rig.PREFIX, process.env.KESTOVAR_NODE_EXE, rig.windowsPath(script), ...args],
    { env: rig.wineEnv(env), stdio: ['ignore', fd, fd] });
  fs.closeSync(fd);
  return new Promise((resolve) => child.on('exit', (code) => resolve({ code, output: rig.readText(output) })));
}

test('publishes from the Windows node.exe, meets the refusals and stops the bridge', async (t) => {
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir: work });
  t.after(() => bridge.stop());

  const resultFile = path.join(work, 'result.json');
  const run = await runWindowsNode(path.join(__dirname, 'publish-from-windows.mjs'),
    [rig.windowsPath(resultFile), String(FRAMES)], { KESTOVAR_BRIDGE_STATE_DIR: rig.windowsPath(bridge.stateDir) });
  assert.equal(run.code, 0, run.output);
  const result = JSON.parse(fs.readFileSync(resultFile, 'utf8'));
  assert.deepEqual({ ...result, hashes: result.hashes.length },
    { hashes: FRAMES, frames: FRAMES, busy: 'busy', badToken: 'bad_token', stopped: true });

  const videos = ndiLog.all().filter((e) => e.event === 'send_video' && e.fnv !== 'null');
  assert.deepEqual(videos.map((e) => e.fnv), result.hashes);
  assert.deepEqual([videos[0].fourcc, videos[0].rate], ['0x59565955', '30000/1001']);
  assert.equal((await bridge.exited).code, 0);
  assert.ok(bridge.records().some((r) => r.event === 'shutdown' && r.reason === 'request'));
  assert.equal(fs.existsSync(path.join(bridge.stateDir, 'bridge.json')), false);
});
