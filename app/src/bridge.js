'use strict';
// The bridge: a loopback WebSocket server that takes one local application at a time and
// publishes the frames it sends as an NDI source through quorvex.node. Requiring this
// module does nothing; createBridge starts one, and the process entry (server.js) is a
// few lines around it.
//
//   const bridge = createBridge({ ndi, env: process.env });
//   const { port } = await bridge.listening;   // rejects when the bridge cannot start
//   bridge.stop({ signal: 'SIGINT' });           // or a stop request from a client
//   const { exitCode } = await bridge.closed;    // once it has shut down in order
//
// ndi: the addon's six functions (or null when it could not be loaded); env: the
// settings, read like process.env (settings.js); guardRuntime: optional, wraps the addon so
// that a runtime call that never returns ends the process (runtime-watchdog.js), which
// only the process entry may choose; monitor: optional, given by the process the bridge
// runs under (monitor.js, bridge-process.js): { pid, token, stopKey, port, restarts,
// announceStop(why) }, the door every bridge it starts keeps. Only the user's own applications get in:
// they read the token from the state file (state-file.js), and browser pages must come
// from an origin the user listed (access.js). Plain HTTP requests get the status page.

const net = require('node:net');
const v8 = require('node:v8');
const vm = require('node:vm');
const log = require('./log');
const EXIT = require('./exit-codes');
const { VERSION } = require('./version');
const { createAccessPolicy, makeToken, pageOrigins } = require('./access');
const { unmaskInJs } = require('./frame-parser');
const { CLOSE_GRACE_MS, handleConnection } = require('./connection');
const { createSlot } = require('./session');
const { readSettings, SettingsError } = require('./settings');
const stateFile = require('./state-file');
const { runningBridge } = require('./bridge-client');
const { createStatusPage } = require('./status');

const HOST = '127.0.0.1';
// Connections that have not yet shown the token hold nothing but a little memory; when
// this many wait, the oldest makes room for the newest, so that idle sockets can delay
// an application but never lock it out.
const MAX_WAITING_CONNECTIONS = 16;

function garbageCollector() {
  v8.setFlagsFromString('--expose-gc');
  return vm.runInNewContext('gc');
}

function createBridge({ ndi: addon, env, guardRuntime = null, monitor = null }) {
  let finish;
  const closed = new Promise((resolve) => {
    finish = (exitCode) => resolve({ exitCode });
  });
  let settings;
  try {
    settings = readSettings(env);
  } catch (error) {
    if (!(error instanceof SettingsError)) throw error;
    log.logEvent('config_error', error.fields);
    finish(EXIT.BAD_SETTING);
    const listening = Promise.reject(error);
    listening.catch(() => {});
    return { listening, closed, stop() {}, stopSender() {} };
  }

  const { stateDir, limits } = settings;
  const ndi = guardRuntime ? guardRuntime(addon, { stateDir, limitMs: limits.runtimeCallMs }) : addon;
  const token = monitor ? monitor.token : makeToken();
  // The status page's key, good only to stop the bridge from the page (status.js).
  const stopKey = monitor ? monitor.stopKey : makeToken();
  const listenPort = monitor && monitor.port !== null ? monitor.port : settings.port;
  const collectGarbage = settings.testGc ? garbageCollector() : null;
  const startedAt = Date.now();
  const connections = new Set();
  const slot = createSlot();
  const reading = { limits, plainReads: settings.plainReads, unmask: ndi ? ndi.unmaskFrame : unmaskInJs };
  let connectionCount = 0;
  let framesRefused = 0;
  let shuttingDown = false;
  let port = null;
  let door = null;

  // What the status page shows. The runtime's directory is the one the launcher handed
  // over from the machine value, which is where the addon finds the runtime too.
  function describe() {
    const ndiRuntime = !ndi ? 'missing (the addon did not load)' : ndi.isAvailable() ? 'available' : 'not installed';
    const application = slot.holder();
    return {
      version: VERSION, port, pid: process.pid, startedAt, ndiRuntime,
      ndiRuntimeDir: env.NDI_RUNTIME_DIR_V6 || null, framesRefused, recentLog: log.recentRecords(),
      origins: [...settings.origins, ...pageOrigins(port).map((origin) => ({ origin, from: 'the status page itself (stop only)' }))],
      settingsProblems: settings.problems,
      restarts: monitor ? monitor.restarts : { count: 0, last: null },
      application: application && application.describe(),
    };
  }

  // The process's own figures, for a stats answer: its CPU time so far, its resident
  // memory and its count of active handles and timers (settled first, in tests).
  function figures() {
    if (collectGarbage) collectGarbage();
    const cpu = process.cpuUsage();
    return {
      cpuUserUs: cpu.user,
      cpuSystemUs: cpu.system,
      rssBytes: process.memoryUsage.rss(),
      resources: process.getActiveResourcesInfo().length,
    };
  }

  // What every session is given (session.js).
  const sessions = {
    ndi, token, stopKey, slot, figures,
    stop: (why, requester) => stop(why, requester),
    frameRefused: () => framesRefused++,
  };

  const server = net.createServer({ pauseOnConnect: true }, (accepted) => {
    if (shuttingDown) return accepted.destroy();
    const waiting = [...connections].filter((connection) => connection.waiting());
    if (waiting.length >= MAX_WAITING_CONNECTIONS) {
      waiting[0].destroy();
      log.logLimited('connections_dropped', { waiting_limit: MAX_WAITING_CONNECTIONS, peer: waiting[0].peer });
    }
    const connection = handleConnection(accepted, ++connectionCount, reading, door, sessions);
    connections.add(connection);
    connection.closed.then(() => connections.delete(connection));
  });

  // Stops in this order: one record says why, the requester (if any) gets its answer, the
  // application is told (1001) and its sender flushed and destroyed, the state file goes,
  // and the bridge has closed once the sockets are gone. Everyone hears before the runtime
  // is asked to let go: should it never return, the runtime's guard ends the process and
  // no one is left without an answer.
  function stop(why, requester = null) {
    if (shuttingDown) return;
    shuttingDown = true;
    slot.close();
    server.close();
    log.logEvent('shutdown', why);
    if (requester) requester.closeWith(1000, 'the bridge is stopping');
    // A monitor hears of the stop before the runtime is asked to let go (the application's
    // session ends with its sender), so that a runtime that never returns does not make it
    // start the bridge again.
    if (monitor) monitor.announceStop(why).then(() => letGo(requester));
    else letGo(requester);
  }

  function letGo(requester) {
    for (const connection of connections) {
      if (connection !== requester) connection.goingAway();
    }
    stopSender();
    if (stateDir) stateFile.removeOwnState(stateDir);
    // Sockets still open get the grace time to take their last bytes.
    const graceTimer = setTimeout(() => {
      for (const connection of connections) connection.destroy();
      finish(EXIT.STOPPED);
    }, CLOSE_GRACE_MS);
    graceTimer.unref();
    Promise.all([...connections].map((connection) => connection.closed)).then(() => setImmediate(() => {
      clearTimeout(graceTimer);
      finish(EXIT.STOPPED);
    }));
  }

  function onListening() {
    port = server.address().port;
    door = {
      access: createAccessPolicy({ port, origins: settings.origins.map(({ origin }) => origin) }),
      statusPage: createStatusPage({ port, stopKey, describe, withLastFrame }),
    };
    log.logEvent('listening', { host: HOST, port });
    if (!stateDir) {
      log.logEvent('state_file_unavailable', { reason: 'neither KESTOVAR_BRIDGE_STATE_DIR nor LOCALAPPDATA is set' });
      return;
    }
    try {
      const state = { port, pid: process.pid, token, started: new Date(startedAt).toISOString() };
      // The stop tool waits for the monitor's process too.
      stateFile.writeState(stateDir, monitor ? { ...state, monitor: monitor.pid } : state);
    } catch (error) {
      log.logEvent('state_file_unavailable', { dir: stateDir, error: error.code || error.message });
    }
  }

  // Flushes and destroys a sender still running, guarded like every such call.
  function stopSender() {
    if (ndi && ndi.isRunning()) ndi.stop();
  }

  function withLastFrame(read) {
    const application = slot.holder();
    return application ? application.withLastFrame(read) : null;
  }

  // A second start (a double-click, a sign-in entry and a manual start) leaves the
  // running bridge and its state file alone; a port that some other program holds is an
  // error the user must see, not a bridge.
  async function start() {
    log.logEvent('server_start', {
      version: VERSION,
      node: process.version,
      addon: ndi ? 'loaded' : 'missing',
      ndi_runtime: ndi && ndi.isAvailable() ? 'available' : 'unavailable',
    });
    for (const problem of settings.problems) log.logEvent('settings_invalid', problem);
    const running = await runningBridge(stateDir);
    if (running) {
      log.logEvent('already_running', { pid: running.pid, port: running.port });
      finish(EXIT.STOPPED);
      throw new Error(`a bridge already runs (pid ${running.pid}, port ${running.port})`);
    }
    await new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen({ host: HOST, port: listenPort, exclusive: true }, () => {
        server.off('error', reject);
        resolve();
      });
    }).catch(async (error) => {
      const holder = error.code === 'EADDRINUSE' ? await runningBridge(stateDir) : null;
      if (holder) {
        log.logEvent('already_running', { pid: holder.pid, port: holder.port });
        finish(EXIT.STOPPED);
      } else if (error.code === 'EADDRINUSE') {
        log.logEvent('port_in_use', { port: listenPort, detail: 'another program holds the port; it is not a bridge of this user' });
        finish(EXIT.PORT_IN_USE);
      } else {
        log.logEvent('listen_failed', { host: HOST, port: listenPort, error: error.code || error.message });
        finish(EXIT.LISTEN_FAILED);
      }
      throw error;
    });
    // Accept errors (out of handles, a connection reset before it was taken) end one
    // connection, not the bridge.
    server.on('error', (error) => log.logEvent('accept_error', { error: error.code || error.message }));
    onListening();
    return { port };
  }

  const listening = start();
  listening.catch(() => {});
  return {
    listening,
    closed,
    stop: (why = { reason: 'stop' }) => stop(why),
    // For a process that ends without stopping the bridge first.
    stopSender,
  };
}

module.exports = { createBridge };
