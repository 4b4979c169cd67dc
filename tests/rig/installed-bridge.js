'use strict';
// The installation tree that the app_stage fixture stages, and its bridge runtime started
// under Wine on the real server script, as the launcher starts it.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { PREFIX, WINE_EXEC, windowsPath, wineEnv } = require('./wine.js');
const { setNdiRuntimeDir } = require('./registry.js');
const { readText, bridgeRecords, openStandinLog } = require('./logs.js');
const { waitFor } = require('./wait.js');
const { adoptState } = require('./clients.js');
const { BUILD_DIR, standinDir } = require('./work.js');
// The test side and the bridge agree on what a live process is.
const { processAlive } = require('../../app/src/state-file.js');

const SOURCE_DIR = process.env.KESTOVAR_SOURCE_DIR;
const STAGE_DIR = path.join(BUILD_DIR, 'tests', 'app', 'stage');
// The product's version, as the packages and the status page give it.
const { version: VERSION } = JSON.parse(fs.readFileSync(path.join(__dirname, '..', '..', 'package.json'), 'utf8'));

// The files under dir, as sorted relative paths.
function listFiles(dir, base = dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((e) => {
    const full = path.join(dir, e.name);
    return e.isDirectory() ? listFiles(full, base) : [path.relative(base, full)];
  }).sort();
}

// The Unix process id of a Wine process whose command line holds `marker` (and whose
// environment holds `setting`, "NAME=value": Wine gives the process its Windows one).
function findWineProcess(marker, setting = null) {
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const cmdline = fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8');
      if (!cmdline.includes(marker) || !cmdline.includes('kestovar-ndi-bridge.exe')) continue;
      if (!setting || fs.readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0').includes(setting)) return Number(entry);
    } catch {
      // gone meanwhile
    }
  }
  return 0;
}


// Asks a bridge to end the way a console's Ctrl+C does (Wine turns SIGINT into it) and
// waits until it is gone; kills it if it does not go.
async function stopBridgeProcess(pid) {
  if (!pid || !processAlive(pid)) return false;
  process.kill(pid, 'SIGINT');
  try {
    await waitFor('the bridge to exit', () => !processAlive(pid), 15000);
    return true;
  } catch {
    process.kill(pid, 'SIGKILL');
    return false;
  }
}

// Starts the installed bridge runtime on the installed server script, as the launcher
// does (app as current directory), with standard output in a log file and its state file
// in dir/state. script: another script of app/src (bridge-process.js: the bridge alone).
async function startBridge({ dir, env = {}, root = STAGE_DIR, settings = null, script = 'server.js' }) {
  fs.mkdirSync(dir, { recursive: true });
  const logFile = path.join(dir, 'bridge.log');
  const stateDir = path.join(dir, 'state');
  fs.rmSync(logFile, { force: true });
  fs.rmSync(stateDir, { recursive: true, force: true });
  // The user's settings file lies beside the state file.
  if (settings) {
    fs.mkdirSync(stateDir, { recursive: true });
    fs.writeFileSync(path.join(stateDir, 'settings.json'), JSON.stringify(settings));
  }
  const fd = fs.openSync(logFile, 'a');
  const child = spawn(WINE_EXEC, [PREFIX, path.join(root, 'runtime', 'kestovar-ndi-bridge.exe'),
    windowsPath(path.join(root, 'app', 'src', script))], {
    cwd: path.join(root, 'app'),
    env: wineEnv({ KESTOVAR_BRIDGE_PORT: '0', KESTOVAR_BRIDGE_STATE_DIR: windowsPath(stateDir), ...env }),
    stdio: ['ignore', fd, fd],
  });
  fs.closeSync(fd);
  let exited = null;
  const exitPromise = new Promise((resolve) => child.on('exit', (code, signal) => {
    exited = { code, signal };
    resolve(exited);
  }));
  const listening = await waitFor('the bridge to listen', () => {
    if (exited) throw new Error(`bridge exited early (${JSON.stringify(exited)}):\n${readText(logFile)}`);
    return bridgeRecords(readText(logFile)).find((r) => r.event === 'listening');
  });
  const state = await waitFor('the state file', () => fs.existsSync(path.join(stateDir, 'bridge.json')) && adoptState(stateDir));
  return {
    port: Number(listening.port),
    token: state.token,
    pid: state.pid,
    // wine-exec execs Wine, which becomes the Windows process: same Unix process id. It is
    // the monitor; the bridge that serves is its child.
    unixPid: child.pid,
    servingUnixPid: () => findWineProcess('bridge-process.js', `KESTOVAR_BRIDGE_STATE_DIR=${windowsPath(stateDir)}`),
    stateDir,
    logFile,
    exited: exitPromise,
    records: () => bridgeRecords(readText(logFile)),
    alive: () => exited === null,
    async stop() {
      if (exited) return exited;
      process.kill(child.pid, 'SIGINT');
      const timer = setTimeout(() => child.kill('SIGKILL'), 15000);
      const result = await exitPromise;
      clearTimeout(timer);
      return result;
    },
  };
}

// A bridge on the full stand-in NDI runtime, which logs to dir/standin.log; env adds to
// the bridge's environment, settings (an object) is its user settings file. Returns { bridge, ndiLog }.
async function startStandinBridge({ dir, env = {}, settings = null, script }) {
  const ndiLog = openStandinLog(path.join(dir, 'standin.log'));
  setNdiRuntimeDir(standinDir('full'));
  const bridge = await startBridge({ dir, settings, script, env: { NDI_STANDIN_LOG: windowsPath(ndiLog.file), ...env } });
  return { bridge, ndiLog };
}

module.exports = {
  SOURCE_DIR, STAGE_DIR, VERSION, standinDir, listFiles, findWineProcess, processAlive, stopBridgeProcess,
  startBridge, startStandinBridge,
};
