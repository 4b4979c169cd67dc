'use strict';
// One accepted TCP connection, as a small state machine:
//   handshake  the request head is read (within its own short deadline); a plain request
//              gets the status page's answer, a WebSocket request the door's decision
//   session    WebSocket frames go to the frame parser and the session (session.js),
//              which must see the token in time; an application must keep answering pings
//   closing    the last bytes are out; whatever the client still sends is dropped
// Every phase is bounded: in time, and in the replies that may wait to be written.

const handshake = require('./handshake');
const writer = require('./frame-writer');
const { OPCODE, WebSocketError, createFrameParser, parseClosePayload } = require('./frame-parser');
const { openConnection } = require('./reader');

const CLOSE_GRACE_MS = 1000;
// A client that reads nothing while it asks for replies (pings, stats) is cut off here,
// long before its queue could hurt the bridge; a well-behaved client never has more than
// a few hundred bytes waiting.
const MAX_OUTPUT_BYTES = 64 * 1024;
// Request fields are the client's words: only this much of each reaches the log.
const LOGGED_FIELD_CHARS = 100;
let toldPlainReads = false;

function clip(text) {
  return text.length > LOGGED_FIELD_CHARS ? `${text.slice(0, LOGGED_FIELD_CHARS)}...` : text;
}

// host: what the bridge gives each connection (bridge.js):
//   log(event, fields), logLimited(event, fields)   records; the second at most one per interval
//   limits { headTimeoutMs, helloTimeoutMs, pingIntervalMs, pingTimeoutMs }, plainReads
//   access          the door (access.js createAccessPolicy)
//   unmask(buffer, mask4)
//   answerPage(request) -> { status, bytes }        the status page (status.js)
//   openSession(connection, { fromPage, reply })    a session (session.js) bound to the bridge
//   onEnd(connection)                               the socket has closed
function handleConnection(accepted, id, host) {
  const { log, limits } = host;
  const peer = `${accepted.remoteAddress}:${accepted.remotePort}`;
  let phase = 'handshake';
  let head = Buffer.alloc(0);
  let parser = null;
  let session = null;
  let lastHeardAt = Date.now();
  let pingTimer = null;

  const { socket, largeReads, why } = openConnection(accepted, {
    chunk(bytes) {
      lastHeardAt = Date.now();
      if (phase === 'handshake') readHead(bytes);
      else if (phase === 'session') guard(() => parser.push(bytes));
    },
    target: () => (phase === 'session' ? parser.directTarget() : null),
    arrived(count) {
      lastHeardAt = Date.now();
      if (phase === 'session') guard(() => parser.directArrived(count));
    },
  }, { plainReads: host.plainReads });
  if (!largeReads && !toldPlainReads) {
    toldPlainReads = true;
    log('large_reads_unavailable', { reason: why });
  }
  socket.setNoDelay(true);

  const connection = {
    id,
    peer,
    socket,
    // Whether it has shown the token (or is past needing to).
    authenticated: () => phase === 'session' && session.authenticated(),
    // The bridge is ending: the application is told, and its sender is flushed.
    goingAway: () => closeWith(1001, 'the bridge is shutting down'),
    closeWith: (code, reason) => closeWith(code, reason),
    // Too many connections wait for their token: this, the oldest, makes room.
    drop() {
      phase = 'closing';
      socket.destroy();
    },
    // The session holds the application slot: pings keep it honest from now on.
    watchLiveness,
  };

  const headTimer = setTimeout(() => {
    if (phase === 'handshake') refuseHttp(408, 'no request head in time');
  }, limits.headTimeoutMs);
  const helloTimer = setTimeout(() => {
    if (phase === 'session' && !session.authenticated()) {
      closeWith(1008, `no hello within ${limits.helloTimeoutMs} ms`, 'timeout');
    }
  }, limits.helloTimeoutMs);

  function write(bytes) {
    if (phase === 'closing') return;
    socket.write(bytes);
    if (socket.writableLength > MAX_OUTPUT_BYTES) {
      closeWith(1008, `more than ${MAX_OUTPUT_BYTES} bytes of replies waiting: read what the bridge sends`, 'too_much_output');
    }
  }

  function reply(object) {
    write(writer.encodeText(JSON.stringify(object)));
  }

  // Sends the last bytes; whatever the client still sends is read and dropped until it
  // closes too, or the grace time runs out.
  function endWith(bytes, why = 'closed') {
    phase = 'closing';
    if (parser) parser.stop();
    clearInterval(pingTimer);
    socket.end(bytes);
    setTimeout(() => socket.destroy(), CLOSE_GRACE_MS).unref();
    // The slot is free again as soon as the bridge knows the connection is over, not only
    // once the socket has closed: an application that reconnects at once is not turned
    // away. The last bytes go out before the sender is destroyed: a runtime that never
    // returns from that must not keep the application from hearing them.
    if (session) session.end(why);
  }

  // Ends the connection from our side: an error text first (for codes other than a
  // normal or going-away close), then the close frame.
  function closeWith(code, reason, errorId = 'protocol_error') {
    if (phase !== 'session') return;
    if (code !== 1000 && code !== 1001) {
      socket.write(writer.encodeText(JSON.stringify({ type: 'error', code, error: errorId, message: reason })));
    }
    log('client_closed', { id, peer, code, reason });
    endWith(writer.encodeClose(code, reason));
  }

  function refuseHttp(status, message, headers) {
    host.logLimited('handshake_refused', { id, peer, status, reason: message });
    endWith(handshake.textResponse(status, message, headers));
  }

  // handshake phase: collects the request head, then answers or upgrades.
  function readHead(chunk) {
    head = Buffer.concat([head, chunk]);
    let request;
    let end;
    try {
      end = handshake.findHeadEnd(head);
      if (end < 0) return;
      request = handshake.parseRequestHead(head.subarray(0, end).toString('latin1'));
      if (!handshake.wantsWebSocket(request)) return answerPage(request);
      request = handshake.checkUpgradeRequest(request);
    } catch (error) {
      if (!(error instanceof handshake.HandshakeError)) throw error;
      return refuseHttp(error.status, error.message, error.headers);
    }
    const rest = head.subarray(end + 4);
    head = null;
    upgrade(request, rest);
  }

  // A plain request: the status page's answer, then the connection ends.
  function answerPage(request) {
    const refusal = host.access.refusePage(request.headers);
    const { status, bytes } = refusal
      ? { status: refusal.status, bytes: handshake.textResponse(refusal.status, refusal.message) }
      : host.answerPage(request);
    // Refusals are worth a record; a path that is not there (a browser's favicon) is not.
    if (status >= 400 && status !== 404) {
      const { host: hostName = 'none', origin = 'none' } = request.headers;
      host.logLimited('page_refused', {
        id, peer, status, method: request.method, path: clip(request.path), host: clip(hostName), origin: clip(origin),
      });
    }
    endWith(bytes);
  }

  function upgrade(request, rest) {
    const refusal = host.access.refuseUpgrade(request.headers);
    if (refusal) return refuseHttp(refusal.status, refusal.message);
    clearTimeout(headTimer);
    write(handshake.upgradeResponse(request.key));
    phase = 'session';
    session = host.openSession(connection, { fromPage: host.access.isOwnPage(request.headers.origin), reply });
    parser = createFrameParser({
      unmask: host.unmask,
      beginMessage: session.beginMessage,
      endMessage: session.endMessage,
      control,
    });
    log('client_connected', { id, peer, path: clip(request.path), origin: clip(request.headers.origin || 'none') });
    if (rest.length > 0) guard(() => parser.push(rest));
  }

  function control(opcode, payload) {
    if (opcode === OPCODE.PING) {
      write(writer.encodeFrame(OPCODE.PONG, Buffer.from(payload)));
    } else if (opcode === OPCODE.CLOSE) {
      const { code, reason } = parseClosePayload(payload);
      log('client_close', { id, peer, code, reason });
      // Echo the code, as the closing handshake asks; 1005 means none was given.
      endWith(code === 1005 ? writer.encodeFrame(OPCODE.CLOSE, Buffer.alloc(0)) : writer.encodeClose(code), 'client closed');
    }
  }

  // Runs a step of the parser; whatever it refuses ends the connection with its code.
  function guard(step) {
    try {
      step();
    } catch (error) {
      if (error instanceof WebSocketError) return closeWith(error.code, error.message, error.id);
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
        write(writer.encodePing());
      }
    }, limits.pingIntervalMs);
  }

  socket.on('error', (error) => {
    if (phase !== 'closing') log('client_error', { id, peer, error: error.code || error.message });
  });
  socket.on('close', () => {
    clearTimeout(headTimer);
    clearTimeout(helloTimer);
    clearInterval(pingTimer);
    if (parser) parser.stop();
    if (session) session.end('connection lost');
    phase = 'closing';
    host.onEnd(connection);
  });
  return connection;
}

module.exports = { handleConnection };
