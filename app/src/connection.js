'use strict';
// One accepted TCP connection, from its opening handshake to its end. Every connection
// is bounded: it must send its first message with the token in time, an application must
// keep answering pings, and the replies waiting to be written to it never pile up.

const ws = require('./websocket');
const { refuseUpgrade } = require('./access');
const { createSession } = require('./session');
const { openConnection } = require('./reader');
const { pageOrigins } = require('./status');

const CLOSE_GRACE_MS = 1000;
// A client that reads nothing while it asks for replies (pings, stats) is cut off here,
// long before its queue could hurt the bridge; a well-behaved client never has more than
// a few hundred bytes waiting.
const MAX_OUTPUT_BYTES = 64 * 1024;
let toldPlainReads = false;

// bridge: what every connection shares, kept by the server:
//   ndi, unmask, token, stopKey, port, allowedOrigins, plainReads, countRefusedFrame, collectGarbage,
//   limits { helloTimeoutMs, pingIntervalMs, pingTimeoutMs },
//   claimSlot(id, peer, session), releaseSlot(id), requestShutdown(connection),
//   statusPage (answers plain HTTP requests: status.js),
//   authenticated(connection) (the connection no longer counts as pending),
//   forget(connection), log(event, fields)
function handleConnection(accepted, id, bridge) {
  const { log, limits } = bridge;
  const peer = `${accepted.remoteAddress}:${accepted.remotePort}`;
  let head = Buffer.alloc(0);
  let parser = null;
  let session = null;
  let closing = false;
  let holdsSlot = false;
  let lastHeardAt = Date.now();
  let pingTimer = null;

  const { socket, largeReads, why } = openConnection(accepted, {
    chunk(bytes) {
      lastHeardAt = Date.now();
      if (closing) return;
      if (head) onHandshakeData(bytes);
      else guard(() => parser.push(bytes));
    },
    target: () => (closing || !parser ? null : parser.directTarget()),
    arrived(count) {
      lastHeardAt = Date.now();
      if (!closing) guard(() => parser.directArrived(count));
    },
  }, { plainReads: bridge.plainReads });
  if (!largeReads && !toldPlainReads) {
    toldPlainReads = true;
    log('large_reads_unavailable', { reason: why });
  }
  socket.setNoDelay(true);

  const connection = {
    id,
    peer,
    socket,
    // The bridge is ending: the application is told, and its sender is flushed.
    goingAway: () => closeWith(1001, 'the bridge is shutting down'),
    closeWith: (code, reason) => closeWith(code, reason),
  };

  const helloTimer = setTimeout(() => {
    if (closing) return;
    if (!session) return rejectHttp(408, 'no WebSocket handshake in time');
    if (!session.authenticated()) closeWith(1008, `no hello within ${limits.helloTimeoutMs} ms`, 'timeout');
  }, limits.helloTimeoutMs);

  function write(bytes) {
    if (closing) return;
    socket.write(bytes);
    if (socket.writableLength > MAX_OUTPUT_BYTES) {
      closeWith(1008, `more than ${MAX_OUTPUT_BYTES} bytes of replies waiting: read what the bridge sends`, 'too_much_output');
    }
  }

  function reply(object) {
    write(ws.encodeText(JSON.stringify(object)));
  }

  // The slot is free again as soon as the bridge knows the connection is over, not only
  // once the socket has closed: an application that reconnects at once is not turned away.
  function endSession(reason) {
    clearInterval(pingTimer);
    if (!holdsSlot) return;
    holdsSlot = false;
    bridge.releaseSlot(id);
    session.end(reason);
  }

  // Sends the last bytes; whatever the client still sends is read and dropped until it
  // closes too, or the grace time runs out.
  function endWith(bytes) {
    socket.end(bytes);
    setTimeout(() => socket.destroy(), CLOSE_GRACE_MS).unref();
  }

  // Ends the connection from our side: an error text first (for codes other than a
  // normal or going-away close), then the close frame.
  function closeWith(code, reason, errorId = 'protocol_error') {
    if (closing) return;
    closing = true;
    if (code !== 1000 && code !== 1001) {
      socket.write(ws.encodeText(JSON.stringify({ type: 'error', code, error: errorId, message: reason })));
    }
    if (parser) parser.stop();
    log('client_closed', { id, peer, code, reason });
    // The close goes out before the sender is destroyed: a runtime that never returns
    // from that must not keep the application from hearing it (runtime-watchdog.js).
    endWith(ws.encodeClose(code, reason));
    endSession('closed');
  }

  function rejectHttp(status, message, headers) {
    closing = true;
    log('handshake_refused', { id, peer, status, reason: message });
    endWith(ws.httpErrorResponse(status, message, headers));
  }

  // A request for the status page: one answer, then the connection ends.
  function answerPlainHttp(request) {
    closing = true;
    const { status, response } = bridge.statusPage.answer(request);
    // Refusals are worth a record; a path that is not there (a browser's favicon) is not.
    if (status >= 400 && status !== 404) {
      const { host = 'none', origin = 'none' } = request.headers;
      log('page_refused', { id, peer, status, path: request.path, host, origin });
    }
    endWith(response);
  }

  function control(opcode, payload) {
    if (opcode === ws.OPCODE.PING) {
      write(ws.encodeFrame(ws.OPCODE.PONG, Buffer.from(payload)));
    } else if (opcode === ws.OPCODE.CLOSE) {
      const { code, reason } = ws.parseClosePayload(payload);
      log('client_close', { id, peer, code, reason });
      closing = true;
      parser.stop();
      endSession('client closed');
      // Echo the code, as the closing handshake asks; 1005 means none was given.
      endWith(code === 1005 ? ws.encodeFrame(ws.OPCODE.CLOSE, Buffer.alloc(0)) : ws.encodeClose(code));
    }
  }

  // Runs a step of the parser; whatever it refuses ends the connection with its code.
  function guard(step) {
    try {
      step();
    } catch (error) {
      if (error instanceof ws.WebSocketError) return closeWith(error.code, error.message, error.id);
      log('internal_error', { id, peer, error: error.stack || String(error) });
      closeWith(1011, 'internal error in the bridge; see its log', 'internal_error');
    }
  }

  // Any byte from the client shows it is there; a ping goes out at every interval, and a
  // client that has sent nothing for the timeout (not even the pong) is let go.
  function watchLiveness() {
    pingTimer = setInterval(() => {
      if (Date.now() - lastHeardAt > limits.pingTimeoutMs) {
        closeWith(1008, `no answer for ${limits.pingTimeoutMs} ms`, 'timeout');
        socket.destroy();
      } else {
        write(ws.encodeFrame(ws.OPCODE.PING, Buffer.alloc(0)));
      }
    }, limits.pingIntervalMs);
  }

  function claimSlot() {
    if (!bridge.claimSlot(id, peer, session)) {
      log('client_refused', { id, peer, reason: 'busy' });
      return false;
    }
    holdsSlot = true;
    bridge.authenticated(connection);
    watchLiveness();
    return true;
  }

  function onShutdown() {
    bridge.authenticated(connection);
    bridge.requestShutdown(connection);
  }

  function upgrade(request, rest) {
    const refusal = refuseUpgrade(request.headers, bridge.allowedOrigins);
    if (refusal) return rejectHttp(refusal.status, refusal.message);
    write(ws.upgradeResponse(request.key));
    // Only the status page, served from the bridge's own origin, may stop it with the
    // page's stop key (see status.js).
    const fromPage = pageOrigins(bridge.port).includes(request.headers.origin);
    session = createSession({
      ndi: bridge.ndi, token: bridge.token, stopKey: fromPage ? bridge.stopKey : null,
      claimSlot, onShutdown, reply, peer, log, collectGarbage: bridge.collectGarbage,
      onFrameRefused: bridge.countRefusedFrame,
    });
    parser = ws.createFrameParser({
      unmask: bridge.unmask,
      beginMessage: session.beginMessage,
      endMessage: session.endMessage,
      control,
    });
    log('client_connected', { id, peer, path: request.path, origin: request.headers.origin || 'none' });
    if (rest.length > 0) guard(() => parser.push(rest));
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
      request = ws.parseRequestHead(head.subarray(0, end).toString('latin1'));
      if (!ws.wantsWebSocket(request)) return answerPlainHttp(request);
      request = ws.checkUpgradeRequest(request);
    } catch (error) {
      if (!(error instanceof ws.HandshakeError)) throw error;
      return rejectHttp(error.status, error.message, error.headers);
    }
    const rest = head.subarray(end + 4);
    head = null;
    upgrade(request, rest);
  }

  socket.on('error', (error) => {
    if (!closing) log('client_error', { id, peer, error: error.code || error.message });
  });
  socket.on('close', () => {
    clearTimeout(helloTimer);
    endSession('connection lost');
    bridge.forget(connection);
  });
  return connection;
}

module.exports = { handleConnection };
