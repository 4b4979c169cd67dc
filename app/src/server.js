'use strict';
// Kestovar Output Bridge server: the script the bridge runtime runs (bridge.js says what
// it does, settings.js what it reads). It loads the addon that sits in the app directory,
// starts the bridge with the runtime's calls guarded (runtime-watchdog.js), and ends the
// process when the bridge has shut down, with the exit code of exit-codes.js.

const path = require('node:path');
const log = require('./log');
const { createBridge } = require('./bridge');
const { watchRuntime } = require('./runtime-watchdog');
const stateFile = require('./state-file');

// The installation puts the addon in the app directory, one level above this script.
const ADDON_PATH = path.join(__dirname, '..', 'quorvex.node');

function loadAddon() {
  try {
    return require(ADDON_PATH);
  } catch (error) {
    log.logEvent('addon_load_failed', { path: ADDON_PATH, error: error.message.split('\n')[0] });
    return null;
  }
}

const ndi = loadAddon();
const bridge = createBridge({ ndi, env: process.env, guardRuntime: watchRuntime });
// Its first record is written: now it can tell whether its output is the launcher's log.
const launcherLog = log.launcherLogFile(process.env);
if (launcherLog) log.rotateWhenLarge(launcherLog);
for (const signal of ['SIGINT', 'SIGTERM', 'SIGBREAK', 'SIGHUP']) process.on(signal, () => bridge.stop({ signal }));
bridge.closed.then(({ exitCode }) => process.exit(exitCode));

// Whatever else ends the process, the runtime is flushed before it goes and the state
// file does not outlive it.
process.on('exit', () => {
  bridge.stopSender();
  const dir = stateFile.stateDirectory();
  if (dir) stateFile.removeOwnState(dir);
});
