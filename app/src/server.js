'use strict';
// Kestovar Output Bridge server: the script the bridge runtime runs. It listens on the
// loopback interface only, takes one local application at a time over WebSocket, and
// publishes the frames it sends as an NDI source through quorvex.node. Only the user's
// own applications get in: they read the token from the state file (see state-file.js),
// and browser pages must come from an origin the user listed. Plain HTTP requests get
// the status page (status.js).
//
// Environment:
//   KESTOVAR_BRIDGE_PORT              default 17480; 0 picks a free port, which the
//                                     "listening" record and the state file name
//   KESTOVAR_BRIDGE_ORIGINS           browser origins allowed in, separated by commas
//   KESTOVAR_BRIDGE_STATE_DIR         where bridge.json goes (default: the per-user
//                                     product directory under LOCALAPPDATA)
//   KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS  default 10000: from opening to the first message
//   KESTOVAR_BRIDGE_PING_INTERVAL_MS  default 10000, and
//   KESTOVAR_BRIDGE_PING_TIMEOUT_MS   default 30000: an application silent that long is
//                                     let go
//   KESTOVAR_BRIDGE_RUNTIME_CALL_MS   default 4000: how long the NDI runtime may take to
//                                     start or stop a sender before the bridge ends itself
//                                     (runtime-watchdog.js)
//   KESTOVAR_BRIDGE_PLAIN_READS       1: read connections the plain way (for tests)
//   KESTOVAR_BRIDGE_TEST_GC           1: a full garbage collection before every stats
//                                     answer, so that long runs read settled memory

const net = require('node:net');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { logEvent, recentRecords } = require('./log');
const { VERSION } = require('./version');
const ws = require('./websocket');
const { parseOriginList, makeToken } = require('./access');
const { handleConnection } = require('./connection');
const stateFile = require('./state-file');
const { createStatusPage, pageOrigins } = require('./status');
const { watchRuntime } = require('./runtime-watchdog');

const HOST = '127.0.0.1';
const DEFAULT_PORT = 17480;
// Connections that have not yet shown the token hold nothing but a little memory; more
// than this many at once are closed as they come.
const MAX_PENDING_CONNECTIONS = 16;
const EXIT_GRACE_MS = 1000;
// The installation puts the addon in the app directory, one level above this script.
const ADDON_PATH = path.join(__dirname, '..', 'quorvex.node');

function readIntegerSetting(name, fallback, low, high) {
  const text = process.env[name];
  if (text === undefined || text === '') return fallback;
  const value = Number(text);
  if (!Number.isInteger(value) || value < low || value > high) {
    logEvent('config_error', { name, value: text, allowed: `${low}..${high}` });
    process.exit(2);
  }
  return value;
}

function garbageCollector() {
  if (process.env.KESTOVAR_BRIDGE_TEST_GC !== '1') return null;
  v8.setFlagsFromString('--expose-gc');
  return vm.runInNewContext('gc');
}

function loadAddon() {
  try {
    return require(ADDON_PATH);
  } catch (error) {
    logEvent('addon_load_failed', { path: ADDON_PATH, error: error.message.split('\n')[0] });
    return null;
  }
}

const port = readIntegerSetting('KESTOVAR_BRIDGE_PORT', DEFAULT_PORT, 0, 65535);
const limits = {
  helloTimeoutMs: readIntegerSetting('KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS', 10000, 100, 3600000),
  pingIntervalMs: readIntegerSetting('KESTOVAR_BRIDGE_PING_INTERVAL_MS', 10000, 50, 3600000),
  pingTimeoutMs: readIntegerSetting('KESTOVAR_BRIDGE_PING_TIMEOUT_MS', 30000, 100, 3600000),
};
// At most 8 s, so that a bridge asked to stop is gone within 10 s whatever the runtime does
// (ending the process takes Wine up to 2 s more).
const runtimeCallMs = readIntegerSetting('KESTOVAR_BRIDGE_RUNTIME_CALL_MS', 4000, 100, 8000);
const stateDir = stateFile.stateDirectory();
const ndi = watchRuntime(loadAddon(), { stateDir, limitMs: runtimeCallMs });
const startedAt = Date.now();

let active = null;
let connectionCount = 0;
let framesRefused = 0;
let shuttingDown = false;
const connections = new Set();
const pending = new Set();
let refusedAtCap = 0;
let capToldAt = 0;

// A flood of connections must not flood the log too: at most one record per 10 s.
function refuseAtCap(socket) {
  socket.destroy();
  refusedAtCap++;
  if (Date.now() - capToldAt > 10000) {
    capToldAt = Date.now();
    logEvent('connections_refused', { count: refusedAtCap, pending_limit: MAX_PENDING_CONNECTIONS });
    refusedAtCap = 0;
  }
}

const bridge = {
  ndi,
  unmask: ndi ? ndi.unmaskFrame : ws.unmaskInJs,
  token: makeToken(),
  // The status page's key, good only to stop the bridge from the page (status.js).
  stopKey: makeToken(),
  port: null,
  statusPage: null,
  allowedOrigins: parseOriginList(process.env.KESTOVAR_BRIDGE_ORIGINS),
  plainReads: process.env.KESTOVAR_BRIDGE_PLAIN_READS === '1',
  collectGarbage: garbageCollector(),
  limits,
  log: logEvent,
  countRefusedFrame() {
    framesRefused++;
  },
  claimSlot(id, peer, session) {
    if (active || shuttingDown) return false;
    active = { id, peer, session };
    return true;
  },
  releaseSlot(id) {
    if (active && active.id === id) active = null;
  },
  authenticated(connection) {
    pending.delete(connection);
  },
  forget(connection) {
    pending.delete(connection);
    connections.delete(connection);
  },
  requestShutdown(connection) {
    shutdown({ reason: 'request', peer: connection.peer }, connection);
  },
};

// What the status page shows. The runtime's directory is the one the launcher handed
// over from the machine value, which is where the addon finds the runtime too.
function describeBridge() {
  const ndiRuntime = !ndi ? 'missing (the addon did not load)' : ndi.isAvailable() ? 'available' : 'not installed';
  return {
    version: VERSION, port: bridge.port, pid: process.pid, startedAt, ndiRuntime,
    ndiRuntimeDir: process.env.NDI_RUNTIME_DIR_V6 || null, framesRefused, recentLog: recentRecords(),
    application: active && active.session.describe(),
  };
}

function withLastFrame(read) {
  return active ? active.session.withLastFrame(read) : null;
}

const server = net.createServer({ pauseOnConnect: true }, (accepted) => {
  if (shuttingDown || pending.size >= MAX_PENDING_CONNECTIONS) return refuseAtCap(accepted);
  const connection = handleConnection(accepted, ++connectionCount, bridge);
  connections.add(connection);
  pending.add(connection);
});

// Stops in this order: one record says why, the requester (if any) gets its answer, the
// application is told (1001) and its sender flushed and destroyed, the state file goes,
// and the process leaves once the sockets are gone. Everyone hears before the runtime is
// asked to let go: should it never return, the watchdog ends the process
// (runtime-watchdog.js) and no one is left without an answer.
function shutdown(why, requester = null) {
  if (shuttingDown) return;
  shuttingDown = true;
  server.close();
  logEvent('shutdown', why);
  if (requester) requester.closeWith(1000, 'the bridge is stopping');
  for (const connection of connections) {
    if (connection !== requester) connection.goingAway();
  }
  if (ndi && ndi.isRunning()) ndi.stop();
  if (stateDir) stateFile.removeOwnState(stateDir);
  const leave = () => {
    if (connections.size === 0) process.exit(0);
  };
  for (const connection of connections) connection.socket.once('close', () => setImmediate(leave));
  leave();
  setTimeout(() => process.exit(0), EXIT_GRACE_MS).unref();
}

function startListening() {
  let listening = false;
  server.on('error', (error) => {
    if (listening) {
      // Accept errors (out of handles, a connection reset before it was taken) end one
      // connection, not the bridge.
      logEvent('accept_error', { error: error.code || error.message });
      return;
    }
    if (error.code === 'EADDRINUSE') {
      logEvent('already_running', { port, detail: 'the port is taken by another bridge or another program' });
      process.exit(0);
    }
    logEvent('listen_failed', { host: HOST, port, error: error.code || error.message });
    process.exit(1);
  });
  server.listen({ host: HOST, port, exclusive: true }, () => {
    listening = true;
    const actualPort = server.address().port;
    bridge.port = actualPort;
    // The status page's own origin may open a WebSocket, to send its stop request.
    for (const origin of pageOrigins(actualPort)) bridge.allowedOrigins.add(origin);
    bridge.statusPage = createStatusPage({ port: actualPort, stopKey: bridge.stopKey, describe: describeBridge, withLastFrame });
    logEvent('listening', { host: HOST, port: actualPort });
    if (!stateDir) {
      logEvent('state_file_unavailable', { reason: 'neither KESTOVAR_BRIDGE_STATE_DIR nor LOCALAPPDATA is set' });
      return;
    }
    try {
      stateFile.writeState(stateDir, { port: actualPort, pid: process.pid, token: bridge.token, started: new Date().toISOString() });
    } catch (error) {
      logEvent('state_file_unavailable', { dir: stateDir, error: error.code || error.message });
    }
  });
}

async function main() {
  logEvent('server_start', {
    version: VERSION,
    node: process.version,
    addon: ndi ? 'loaded' : 'missing',
    ndi_runtime: ndi && ndi.isAvailable() ? 'available' : 'unavailable',
  });
  // A second start (a double-click, a sign-in entry and a manual start) leaves the
  // running bridge and its state file alone.
  const running = await stateFile.runningBridge(stateDir);
  if (running) {
    logEvent('already_running', { pid: running.pid, port: running.port });
    process.exit(0);
  }
  startListening();
}

for (const signal of ['SIGINT', 'SIGTERM', 'SIGBREAK', 'SIGHUP']) process.on(signal, () => shutdown({ signal }));
// Whatever else ends the process, the runtime is flushed before it goes and the state
// file does not outlive it.
process.on('exit', () => {
  if (ndi) ndi.stop();
  if (stateDir) stateFile.removeOwnState(stateDir);
});

main();
