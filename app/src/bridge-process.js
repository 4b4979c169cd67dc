'use strict';
// The bridge's own process (bridge.js says what it does, settings.js what it reads): it
// loads the addon that sits in the app directory, starts the bridge with the runtime's
// calls guarded (runtime-watchdog.js), and ends when the bridge has shut down, with the
// exit code of exit-codes.js. The monitor (monitor.js) runs it as its child and hands it,
// over the IPC channel, the door every bridge it starts keeps (port, token, stop key) and
// how often the bridge came back. Run alone, it is the whole bridge of one run.

const path = require('node:path');
const log = require('./log');
const { createBridge } = require('./bridge');
const { watchRuntime } = require('./runtime-watchdog');
const stateFile = require('./state-file');
const { keepNonces } = require('./access');

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

// What the bridge needs of its monitor, from the monitor's start message. A stop is told
// to the monitor, and the message written, before the runtime is asked to let go: should
// it never return, the monitor knows that this end was asked for. Each nonce accepted is
// told too, and those of the bridges before come in: the token is the same.
function monitorFrom({ door, restarts, nonces }) {
  keepNonces(nonces, (nonce) => process.connected && process.send({ type: 'nonce', nonce }, () => {}));
  return {
    ...door,
    restarts,
    announceStop: (why) => new Promise((resolve) => {
      if (!process.connected) return resolve();
      process.send({ type: 'stopping', why }, () => resolve());
    }),
  };
}

function run(monitor) {
  const ndi = loadAddon();
  // Under a monitor the state file outlives a bridge that ends itself: the next bridge
  // keeps its port and token, and the monitor removes it when nothing starts again.
  const guardRuntime = (addon, options) => watchRuntime(addon, monitor ? { ...options, stateDir: null } : options);
  const bridge = createBridge({ ndi, env: process.env, guardRuntime, monitor });
  // Its first record is written: now it can tell whether its output is the launcher's log.
  const launcherLog = log.launcherLogFile(process.env);
  const rotating = Boolean(launcherLog) && log.rotateWhenLarge(launcherLog);
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGBREAK', 'SIGHUP']) process.on(signal, () => bridge.stop({ signal }));
  if (monitor) {
    process.on('message', (message) => message.type === 'stop' && bridge.stop({ signal: message.signal }));
    bridge.listening.then(({ port }) => process.connected &&
      process.send({ type: 'serving', port, launcherLog: rotating ? launcherLog : null }, () => {}), () => {});
  }
  bridge.closed.then(({ exitCode }) => process.exit(exitCode));

  // Whatever else ends the process, the runtime is flushed before it goes; alone, the
  // state file does not outlive it.
  process.on('exit', () => {
    bridge.stopSender();
    const dir = stateFile.stateDirectory();
    if (dir && !monitor) stateFile.removeOwnState(dir);
  });
}

if (process.send) process.once('message', (message) => run(monitorFrom(message)));
else run(null);
