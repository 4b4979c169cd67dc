'use strict';
// One accepted TCP connection, as a small state machine. Each phase has its own timers,
// which enter() clears when the next phase begins:
//   http      the request head is read within its own short deadline (handshake.js)
//   hello     WebSocket frames go to the frame parser and the session (session.js), which
//             must see the token by the hello deadline, counted from the opening
//   live      the session publishes: it must keep answering pings
//   closing   the last bytes are out; whatever the client still sends is dropped until
//             it closes too, or the grace time runs out
//   closed    the socket has closed
// Every phase is bounded: in time, and in the replies that may wait to be written.

const handshake = require('./handshake');
const log = require('./log');
const writer = require('./frame-writer');
const { OPCODE, WebSocketError, createFrameParser, parseClosePayload } = require('./frame-parser');
const { openConnection } = require('./reader');
const { createSession } = require('./session');

// How long a closing connection may take to take its last bytes.
const CLOSE_GRACE_MS = 1000;
// A client that reads nothing while it asks for replies (pings, stats) is cut off here,
// long before its queue could hurt the bridge; a well-behaved client never has more than
// a few hundred bytes waiting.
const MAX_OUTPUT_BYTES = 64 * 1024;
let toldPlainReads = false;

// reading: { limits: { headTimeoutMs, helloTimeoutMs, pingIntervalMs, pingTimeoutMs },
//   plainReads, unmask(buffer, mask4) }, the same for every connection.
// door: handshake.js's readRequest's. bridge: what each session is given (session.js).
// Returns the connection: its waiting(), goingAway(), destroy() and closed, a promise
// that resolves once its socket has closed.
function handleConnection(accepted, id, { limits, plainReads, unmask }, door, bridge) {
  const openedAt = Date.now();
  let phase = null;
  let timers = [];
  let parser = null;
  let session = null;
  let lastHeardAt = openedAt;
  // What client_connected says, once the client has shown the token.
  let opened = null;
  let ownClient = false;
  let closedNow;
  const closed = new Promise((resolve) => {
    closedNow = resolve;
  });

  // Read before the socket is handed to the reader, which may take it over (reader.js).
  const peer = `${accepted.remoteAddress}:${accepted.remotePort}`;
  const { socket, largeReads, why } = openConnection(accepted, {
    chunk(bytes) {
      lastHeardAt = Date.now();
      if (phase === 'http') request.push(bytes);
      else if (parser) guard(() => parser.push(bytes));
    },
    target: () => (parser ? parser.directTarget() : null),
    arrived(count) {
      lastHeardAt = Date.now();
      if (parser) guard(() => parser.directArrived(count));
    },
  }, { plainReads });
  if (!largeReads && !toldPlainReads) {
    toldPlainReads = true;
    log.logEvent('large_reads_unavailable', { reason: why });
  }
  socket.setNoDelay(true);

  const connection = {
    id,
    peer,
    // Set at the upgrade: whether the status page's own origin opened it.
    fromPage: false,
    closed,
    // Not yet publishing: it holds nothing but a little memory.
    waiting: () => phase !== 'live',
    // The bridge is ending: the application is told, and its sender is flushed.
    goingAway: () => closeWith(1001, 'the bridge is shutting down'),
    closeWith: (code, reason) => closeWith(code, reason),
    reply,
    // Ends it at once: too many connections wait for their token and this, the oldest,
    // makes room; or the bridge has stopped and its grace time is over.
    destroy() {
      enter('closing');
      socket.destroy();
    },
    // The session's: the first message showed the token, so this is the user's own
    // application or tool, whose records are all kept.
    tokenShown() {
      ownClient = true;
      log.logEvent('client_connected', opened);
    },
    // The HTTP phase's (handshake.js).
    write,
    endWith,
    upgraded,
  };

  // Records of a connection that has not shown the token are anyone's to cause: each kind
  // at most once per interval, like refused requests, so a flood of connections that
  // close at once cannot wipe the log.
  function record(event, fields) {
    if (ownClient) log.logEvent(event, fields);
    else log.logLimited(event, fields);
  }

  // Sets the phase; the timers of the last one are cleared (clearTimeout clears an
  // interval too) and those given are the new phase's.
  function enter(next, ...phaseTimers) {
    for (const timer of timers) clearTimeout(timer);
    timers = phaseTimers;
    phase = next;
  }

  const request = handshake.readRequest(connection, door);
  enter('http', setTimeout(() => request.expire(), limits.headTimeoutMs));

  function write(bytes) {
    if (phase === 'closing' || phase === 'closed') return;
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
    enter('closing', setTimeout(() => socket.destroy(), CLOSE_GRACE_MS).unref());
    if (parser) parser.stop();
    socket.end(bytes);
    // The slot is free again as soon as the bridge knows the connection is over, not only
    // once the socket has closed: an application that reconnects at once is not turned
    // away. The last bytes go out before the sender is destroyed: a runtime that never
    // returns from that must not keep the application from hearing them.
    if (session) session.end(why);
  }

  // Ends the connection from our side: an error text first (for codes other than a
  // normal or going-away close), then the close frame.
  function closeWith(closeCode, reason, code = 'protocol_error') {
    if (phase !== 'hello' && phase !== 'live') return;
    if (closeCode !== 1000 && closeCode !== 1001) {
      socket.write(writer.encodeText(JSON.stringify({ type: 'error', code: closeCode, error: code, message: reason })));
    }
    record('client_closed', { id, peer: connection.peer, code: closeCode, reason });
    endWith(writer.encodeClose(closeCode, reason));
  }

  // The WebSocket phases, after handshake.js has written the upgrade.
  function upgraded(upgrade, rest) {
    opened = { id, peer: connection.peer, path: log.clip(upgrade.path), origin: log.clip(upgrade.headers.origin || 'none') };
    connection.fromPage = door.access.isOwnPage(upgrade.headers.origin);
    const helloLeftMs = openedAt + limits.helloTimeoutMs - Date.now();
    enter('hello', setTimeout(() => closeWith(1008, `no hello within ${limits.helloTimeoutMs} ms`, 'timeout'), helloLeftMs));
    session = createSession(connection, bridge);
    parser = createFrameParser({ unmask, beginMessage: session.beginMessage, endMessage, control });
    if (rest.length > 0) guard(() => parser.push(rest));
  }

  // The session holds the application slot once its hello is taken: pings keep it honest
  // from then on.
  function endMessage(opcode, buffer, length) {
    session.endMessage(opcode, buffer, length);
    if (phase === 'hello' && session.phase() === 'publishing') watchLiveness();
  }

  function control(opcode, payload) {
    if (opcode === OPCODE.PING) {
      write(writer.encodeFrame(OPCODE.PONG, Buffer.from(payload)));
    } else if (opcode === OPCODE.CLOSE) {
      const { code, reason } = parseClosePayload(payload);
      record('client_close', { id, peer: connection.peer, code, reason: log.clip(reason) });
      // Echo the code, as the closing handshake asks; 1005 means none was given.
      endWith(code === 1005 ? writer.encodeFrame(OPCODE.CLOSE, Buffer.alloc(0)) : writer.encodeClose(code), 'client closed');
    }
  }

  // Runs a step of the parser; whatever it refuses ends the connection with its code.
  function guard(step) {
    try {
      step();
    } catch (error) {
      if (error instanceof WebSocketError) return closeWith(error.closeCode, error.message, error.code);
      log.logEvent('internal_error', { id, peer: connection.peer, error: error.stack || String(error) });
      closeWith(1011, 'internal error in the bridge; see its log', 'internal_error');
    }
  }

  // Any byte from the client shows it is there; a ping goes out at every interval, and a
  // client that has sent nothing for the timeout (not even the pong) is let go.
  function watchLiveness() {
    enter('live', setInterval(() => {
      if (Date.now() - lastHeardAt > limits.pingTimeoutMs) {
        closeWith(1008, `no answer for ${limits.pingTimeoutMs} ms`, 'timeout');
        socket.destroy();
      } else {
        write(writer.encodePing());
      }
    }, limits.pingIntervalMs));
  }

  socket.on('error', (error) => {
    if (phase !== 'closing') record('client_error', { id, peer: connection.peer, error: error.code || error.message });
  });
  socket.on('close', () => {
    enter('closed');
    if (parser) parser.stop();
    if (session) session.end('connection lost');
    closedNow();
  });
  return connection;
}

module.exports = { CLOSE_GRACE_MS, handleConnection };
