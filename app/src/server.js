'use strict';
// Kestovar Output Bridge server: the script the bridge runtime runs. It listens on the
// loopback interface only, takes one local application at a time over WebSocket, and
// publishes the frames it sends as an NDI source through quorvex.node.
//
// Environment: KESTOVAR_BRIDGE_PORT (default 17480; 0 picks a free port, which the
// "listening" record names), KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS (default 10000: how long a
// connection may take from opening to its hello).

const net = require('node:net');
const path = require('node:path');
const { logEvent } = require('./log');
const ws = require('./websocket');
const { createSession } = require('./session');

const HOST = '127.0.0.1';
const DEFAULT_PORT = 17480;
const DEFAULT_HELLO_TIMEOUT_MS = 10000;
const CLOSE_GRACE_MS = 1000;
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

function loadAddon() {
  try {
    return require(ADDON_PATH);
  } catch (error) {
    logEvent('addon_load_failed', { path: ADDON_PATH, error: error.message.split('\n')[0] });
    return null;
  }
}

const port = readIntegerSetting('KESTOVAR_BRIDGE_PORT', DEFAULT_PORT, 0, 65535);
const helloTimeoutMs = readIntegerSetting('KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS', DEFAULT_HELLO_TIMEOUT_MS, 100, 3600000);
const ndi = loadAddon();
const unmask = ndi ? ndi.unmaskFrame : ws.unmaskInJs;
let active = null;
let connectionCount = 0;
const connections = new Set();

// Only names that reach this machine's loopback: a page elsewhere that rebinds its own
// host name to 127.0.0.1 is turned away.
function isLoopbackHost(host) {
  const name = /^(\[[^\]]*\]|[^:]*)(:\d+)?$/.exec(host || '');
  return name !== null && ['127.0.0.1', 'localhost', '[::1]'].includes(name[1].toLowerCase());
}

// Node reads a TCP socket 64 KiB at a time into a fresh buffer each time. Under Wine
// every read is a trip through the Wine server, and at that size the reads alone cost
// more CPU than everything else a frame needs. A socket given a caller's buffer
// ("onread") reads as much as the connection holds in one go. Node offers that only for
// sockets it creates itself, so the accepted (still paused) connection's handle is moved
// into a socket made with it. Every read is handed on and copied out before the next
// read starts, all on the one script thread, so one buffer serves every connection.
const READ_BUFFER_BYTES = 4 * 1024 * 1024;
let sharedReadBuffer = null;

function openConnection(accepted, onData) {
  const handle = accepted._handle;
  if (handle && typeof handle.useUserBuffer === 'function') {
    try {
      sharedReadBuffer ??= Buffer.allocUnsafeSlow(READ_BUFFER_BYTES);
      const socket = new net.Socket({
        handle,
        readable: true,
        writable: true,
        onread: { buffer: sharedReadBuffer, callback: (bytes, buffer) => onData(buffer.subarray(0, bytes)) },
      });
      accepted._handle = null;
      return socket;
    } catch (error) {
      logEvent('large_reads_unavailable', { error: error.message });
    }
  }
  // The plain way, for a Node.js without that constructor option.
  accepted.on('data', onData);
  accepted.resume();
  return accepted;
}

function handleConnection(accepted) {
  const peer = `${accepted.remoteAddress}:${accepted.remotePort}`;
  const id = ++connectionCount;
  let head = Buffer.alloc(0);
  let parser = null;
  let session = null;
  let closing = false;
  const socket = openConnection(accepted, (chunk) => {
    if (closing) return;
    if (head) onHandshakeData(chunk);
    else feed(chunk);
  });
  connections.add(socket);
  socket.setNoDelay(true);

  const helloTimer = setTimeout(() => {
    if (closing) return;
    if (!session) return rejectHttp(408, 'no WebSocket handshake in time');
    if (!session.hasHello()) closeWith(1008, `no hello within ${helloTimeoutMs} ms`);
  }, helloTimeoutMs);

  // The slot is free again as soon as the bridge knows the connection is over, not only
  // once the socket has closed: an application that reconnects at once is not turned away.
  function endSession(reason) {
    if (!active || active.id !== id) return;
    active = null;
    session.end(reason);
  }

  function reply(object) {
    if (!closing) socket.write(ws.encodeText(JSON.stringify(object)));
  }

  // Ends the connection from our side: an error text first (for codes other than a
  // normal or going-away close), then the close frame. Whatever the client still sends
  // is read and dropped until it closes too, or the grace time runs out.
  function closeWith(code, reason) {
    if (closing) return;
    if (code !== 1000 && code !== 1001) reply({ type: 'error', code, message: reason });
    closing = true;
    if (parser) parser.stop();
    logEvent('client_closed', { id, peer, code, reason });
    endSession('closed');
    socket.end(ws.encodeClose(code, reason));
    setTimeout(() => socket.destroy(), CLOSE_GRACE_MS).unref();
  }

  function rejectHttp(status, message, headers) {
    closing = true;
    logEvent('handshake_refused', { id, peer, status, reason: message });
    socket.end(ws.httpErrorResponse(status, message, headers));
    setTimeout(() => socket.destroy(), CLOSE_GRACE_MS).unref();
  }

  function control(opcode, payload) {
    if (opcode === ws.OPCODE.PING) {
      socket.write(ws.encodeFrame(ws.OPCODE.PONG, Buffer.from(payload)));
    } else if (opcode === ws.OPCODE.CLOSE) {
      const { code, reason } = ws.parseClosePayload(payload);
      logEvent('client_close', { id, peer, code, reason });
      closing = true;
      parser.stop();
      endSession('client closed');
      // Echo the code, as the closing handshake asks; 1005 means none was given.
      socket.end(code === 1005 ? ws.encodeFrame(ws.OPCODE.CLOSE, Buffer.alloc(0)) : ws.encodeClose(code));
      setTimeout(() => socket.destroy(), CLOSE_GRACE_MS).unref();
    }
  }

  function feed(chunk) {
    try {
      parser.push(chunk);
    } catch (error) {
      if (error instanceof ws.WebSocketError) return closeWith(error.code, error.message);
      logEvent('internal_error', { id, peer, error: error.stack || String(error) });
      closeWith(1011, 'internal error in the bridge; see its log');
    }
  }

  function upgrade(request, rest) {
    if (!isLoopbackHost(request.headers.host)) {
      return rejectHttp(403, 'the Host header must name the loopback interface');
    }
    socket.write(ws.upgradeResponse(request.key));
    if (active) {
      // Told over WebSocket rather than by an HTTP status, so the client sees the reason.
      logEvent('client_refused', { id, peer, reason: 'busy', connected: active.peer });
      return closeWith(1013, 'another application is already connected to the bridge');
    }
    active = { id, peer };
    session = createSession({ ndi, reply, peer, log: logEvent });
    parser = ws.createFrameParser({
      unmask,
      beginMessage: session.beginMessage,
      endMessage: session.endMessage,
      control,
    });
    logEvent('client_connected', { id, peer, path: request.path });
    if (rest.length > 0) feed(rest);
  }

  function onHandshakeData(chunk) {
    head = Buffer.concat([head, chunk]);
    const end = head.indexOf('\r\n\r\n');
    if (end > ws.MAX_HEADER_BYTES || (end < 0 && head.length > ws.MAX_HEADER_BYTES)) {
      return rejectHttp(431, 'request head over 8 KiB');
    }
    if (end < 0) return;
    let request;
    try {
      request = ws.parseUpgradeRequest(head.subarray(0, end).toString('latin1'));
    } catch (error) {
      if (!(error instanceof ws.HandshakeError)) throw error;
      return rejectHttp(error.status, error.message, error.headers);
    }
    const rest = head.subarray(end + 4);
    head = null;
    upgrade(request, rest);
  }

  socket.on('error', (error) => {
    if (!closing) logEvent('client_error', { id, peer, error: error.code || error.message });
  });
  socket.on('close', () => {
    clearTimeout(helloTimer);
    connections.delete(socket);
    endSession('connection lost');
  });
}

// Paused, so that no byte is read before the connection's reading socket is in place.
const server = net.createServer({ pauseOnConnect: true }, handleConnection);

server.on('error', (error) => {
  logEvent('listen_failed', { host: HOST, port, error: error.code || error.message });
  process.exit(1);
});

server.listen({ host: HOST, port, exclusive: true }, () => {
  logEvent('listening', { host: HOST, port: server.address().port });
});

logEvent('server_start', {
  node: process.version,
  addon: ndi ? 'loaded' : 'missing',
  ndi_runtime: ndi && ndi.isAvailable() ? 'available' : 'unavailable',
});

// Asked to end: the connected application is told, the sender is flushed and destroyed,
// and the process leaves once the sockets are gone.
function shutdown(signal) {
  logEvent('shutdown', { signal });
  server.close();
  for (const socket of connections) socket.end(ws.encodeClose(1001, 'the bridge is shutting down'));
  setTimeout(() => process.exit(0), CLOSE_GRACE_MS).unref();
}
for (const signal of ['SIGINT', 'SIGTERM', 'SIGBREAK', 'SIGHUP']) process.on(signal, () => shutdown(signal));
// Whatever else ends the process, the runtime is flushed before it goes.
process.on('exit', () => {
  if (ndi) ndi.stop();
});
