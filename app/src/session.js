'use strict';
// One connection's application protocol: its first message (a hello or a stop request,
// each with the bridge's token), the NDI sender started from a hello, and the frame
// buffers its binary messages land in.
//
// The hello is a JSON text message:
//   {"type":"hello","token":"<from bridge.json>","source":"Stage left","width":1920,
//    "height":1080,"fpsN":30,"fpsD":1,"format":"RGBA"}
// ("type" and "fpsD" may be left out; fpsD is then 1). The bridge answers
//   {"type":"ready","frameBytes":8294400,...}
// and from then on every binary message is one whole raw frame of exactly frameBytes
// bytes (RGBA: width*4 per line, UYVY: width*2 per line, no padding). The text message
// {"type":"stats"} is answered with the frame count, the bridge's CPU time so far, its
// resident memory and its count of active handles and timers.
// The first message may instead be {"type":"shutdown","token":...}, which stops the bridge,
// or {"type":"identify",...}, answered with {"type":"identity","pid":...,"proof":...}:
// how a program that found bridge.json checks that the bridge named there is the one
// listening on its port. Instead of "token", any first message may carry "nonce" (32 to 128
// lowercase hex digits of the client's own) and "proof", the HMAC of the nonce keyed with
// the token (access.js); "ready" and "identity" then carry the bridge's proof back.
// Every refusal is a {"type":"error","code":...,"error":<stable id>,"message":...} text
// followed by a close frame.

const { OPCODE, WebSocketError, decodeUtf8 } = require('./frame-parser');
const { holdsSecret, readyProof } = require('./access');
const log = require('./log');

const MAX_TEXT_BYTES = 64 * 1024;
const MAX_DIMENSION = 8192;
const MAX_PIXELS = 7680 * 4320;
const MAX_RATE_TERM = 1000000;
const MAX_SOURCE_CHARS = 200;
// The NDI runtime may still read the last frame handed to it until the next one has been
// handed over, so a new message never lands in that buffer: the next one fills the other
// buffer. A message abandoned half-way ends the session (and flushes the runtime), so it
// never leaves a third buffer in play.
const FRAME_BUFFERS = 2;

const BYTES_PER_PIXEL = { RGBA: 4, UYVY: 2 };

function isIntegerIn(value, low, high) {
  return Number.isInteger(value) && value >= low && value <= high;
}

// Checks a parsed hello; returns { settings } or { error } with a message for the client.
function validateHello(hello) {
  if (hello === null || typeof hello !== 'object' || Array.isArray(hello)) {
    return { error: 'the hello must be a JSON object' };
  }
  if (hello.type !== undefined && hello.type !== 'hello') {
    return { error: `expected a hello, got a message of type ${JSON.stringify(hello.type)}` };
  }
  const { source, width, height, fpsN } = hello;
  const fpsD = hello.fpsD === undefined ? 1 : hello.fpsD;
  const format = hello.format;
  if (typeof source !== 'string' || source.length < 1 || source.length > MAX_SOURCE_CHARS ||
      /[\u0000-\u001f\u007f]/.test(source)) {
    return { error: `source must be a name of 1 to ${MAX_SOURCE_CHARS} characters without control characters` };
  }
  if (!isIntegerIn(width, 2, MAX_DIMENSION) || !isIntegerIn(height, 2, MAX_DIMENSION)) {
    return { error: `width and height must be whole numbers from 2 to ${MAX_DIMENSION}` };
  }
  if (width * height > MAX_PIXELS) {
    return { error: 'frames larger than 7680x4320 pixels are not supported' };
  }
  if (!isIntegerIn(fpsN, 1, MAX_RATE_TERM) || !isIntegerIn(fpsD, 1, MAX_RATE_TERM)) {
    return { error: `fpsN and fpsD must be whole numbers from 1 to ${MAX_RATE_TERM}` };
  }
  if (format !== 'RGBA' && format !== 'UYVY') {
    return { error: 'format must be "RGBA" or "UYVY"' };
  }
  if (format === 'UYVY' && width % 2 !== 0) {
    return { error: 'UYVY frames need an even width' };
  }
  const frameBytes = width * height * BYTES_PER_PIXEL[format];
  return { settings: { source, width, height, fpsN, fpsD, format, frameBytes } };
}

// The one application slot: at most one session publishes at a time, and none once the
// bridge is stopping.
function createSlot() {
  let holder = null;
  let closed = false;
  return {
    claim(session) {
      if (holder || closed) return false;
      holder = session;
      return true;
    },
    release(session) {
      if (holder === session) holder = null;
    },
    close() {
      closed = true;
    },
    holder: () => holder,
  };
}

// A session's phases:
//   awaiting    its first message, which must carry the token
//   starting    a hello took the slot; the sender is being started
//   publishing  the sender runs; binary messages are frames
//   answered    a stop or identify request was answered; the connection is closing
//   ended       the sender is stopped and the slot free again
//
// connection: what the session needs of its connection (connection.js):
//   peer, id, fromPage       who it is; fromPage: opened by the status page's own origin
//   reply(object)            a JSON text message to the client
//   closeWith(code, reason)  ends the connection normally
//   tokenShown()             the first message showed the bridge's token
// bridge: what the session needs of the bridge (bridge.js), the same for every session:
//   ndi                      the loaded addon, or null when it could not be loaded
//   token, stopKey           the bridge's token; the status page's key, which stands for
//                            the token in a stop request from the page's own origin
//   slot                     the application slot (createSlot)
//   stop(why, requester)     a stop request with the right token came
//   figures()                the process-wide figures a stats answer carries
//   frameRefused()           a frame was refused (wrong size, or the runtime would not take it)
function createSession(connection, bridge) {
  const { ndi, token, slot } = bridge;
  const { peer } = connection;
  const stopKey = connection.fromPage ? bridge.stopKey : null;
  let phase = 'awaiting';
  let settings = null;
  let textBuffer = null;
  const frames = [];
  let nextFrame = 0;
  let framesSent = 0;
  let firstFrameAt = 0;
  let lastFrameAt = 0;
  const startedAt = Date.now();

  function refuse(closeCode, message, code) {
    throw new WebSocketError(code, message, closeCode);
  }

  // A frame the bridge will not publish: counted, then refused like anything else.
  function refuseFrame(closeCode, message, code) {
    bridge.frameRefused();
    refuse(closeCode, message, code);
  }

  function beginMessage(opcode, length, fin) {
    if (opcode === OPCODE.TEXT) {
      if (length > MAX_TEXT_BYTES) refuse(1009, `text message too big: the limit is ${MAX_TEXT_BYTES} bytes`, 'protocol_error');
      textBuffer ??= Buffer.allocUnsafe(MAX_TEXT_BYTES);
      return textBuffer;
    }
    if (phase !== 'publishing') refuse(1008, 'send the hello before any frame', 'bad_hello');
    const expected = settings.frameBytes;
    if (fin && length > expected) {
      refuseFrame(1009, `message too big: a frame is ${expected} bytes, this message is ${length}`, 'wrong_frame_size');
    }
    if (fin && length !== expected) {
      refuseFrame(1008, `wrong frame size: a frame is ${expected} bytes, this message is ${length}`, 'wrong_frame_size');
    }
    // Allocated only now that the size is known to be the agreed one, never from what a
    // client claims.
    frames[nextFrame] ??= Buffer.allocUnsafeSlow(expected);
    return frames[nextFrame];
  }

  function startSender(hello, proof) {
    const { settings: wanted, error } = validateHello(hello);
    if (error) refuse(1008, `bad hello: ${error}`, 'bad_hello');
    if (!slot.claim(api)) {
      log.logEvent('client_refused', { id: connection.id, peer, reason: 'busy' });
      refuse(1013, 'another application is already connected to the bridge', 'busy');
    }
    phase = 'starting';
    if (!ndi) refuse(1011, 'the NDI addon could not be loaded; see the bridge log', 'runtime_unavailable');
    if (!ndi.isAvailable()) {
      log.logEvent('ndi_runtime_unavailable', { peer });
      refuse(1011, 'NDI runtime not available on this machine', 'runtime_unavailable');
    }
    // A sender left over from an earlier client would keep its old settings.
    if (ndi.isRunning()) ndi.stop();
    const { source, width, height, fpsN, fpsD, format, frameBytes } = wanted;
    if (!ndi.start(source, width, height, fpsN, fpsD, format)) {
      log.logEvent('sender_refused', { peer, source, width, height, format });
      refuse(1011, 'the NDI runtime refused to create the sender', 'runtime_unavailable');
    }
    settings = wanted;
    phase = 'publishing';
    log.logEvent('sender_started', { peer, source, width, height, fps: `${fpsN}/${fpsD}`, format, frame_bytes: frameBytes });
    connection.reply({ type: 'ready', source, width, height, fpsN, fpsD, format, frameBytes, ...proof });
  }

  function onText(buffer, length) {
    const text = decodeUtf8(buffer.subarray(0, length));
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      if (phase === 'awaiting') refuse(1007, 'the hello is not valid JSON', 'bad_hello');
      refuse(1007, 'text message is not valid JSON', 'protocol_error');
    }
    if (phase === 'awaiting') return firstMessage(message);
    if (message && message.type === 'stats') {
      return connection.reply({ type: 'stats', frames: framesSent, firstFrameMs: firstFrameAt, lastFrameMs: lastFrameAt, ...bridge.figures() });
    }
    refuse(1008, 'after the hello only binary frames and {"type":"stats"} are accepted', 'protocol_error');
  }

  // The token is checked before anything else in the message is looked at, so a client
  // without it learns nothing and holds nothing.
  function firstMessage(message) {
    const isObject = message !== null && typeof message === 'object' && !Array.isArray(message);
    const type = isObject ? message.type : undefined;
    const pageStop = type === 'shutdown' && stopKey !== null && holdsSecret(stopKey, message);
    if (isObject && !pageStop && !holdsSecret(token, message)) {
      refuse(1008, 'bad token: give the token from the bridge state file (bridge.json)', 'bad_token');
    }
    if (!pageStop) connection.tokenShown();
    const proof = isObject && message.nonce !== undefined && !pageStop ? { proof: readyProof(token, message.nonce) } : {};
    if (type === 'shutdown') {
      phase = 'answered';
      bridge.stop({ reason: 'request', peer }, connection);
    } else if (type === 'identify') {
      phase = 'answered';
      connection.reply({ type: 'identity', pid: process.pid, ...proof });
      connection.closeWith(1000, 'identified');
    } else {
      startSender(message, proof);
    }
  }

  function onFrame(buffer, length) {
    if (length !== settings.frameBytes) {
      refuseFrame(1008, `wrong frame size: a frame is ${settings.frameBytes} bytes, this message is ${length}`, 'wrong_frame_size');
    }
    if (!ndi.sendFrame(buffer)) {
      log.logEvent('frame_refused', { peer, frame: framesSent });
      refuseFrame(1011, 'the NDI sender refused the frame', 'runtime_unavailable');
    }
    lastFrameAt = Date.now();
    if (framesSent === 0) {
      firstFrameAt = lastFrameAt;
      log.logEvent('first_frame', { peer });
    }
    framesSent++;
    nextFrame = (nextFrame + 1) % FRAME_BUFFERS;
  }

  function endMessage(opcode, buffer, length) {
    if (opcode === OPCODE.TEXT) onText(buffer, length);
    else onFrame(buffer, length);
  }

  // Stops the sender (flushing the runtime, which lets go of the last frame), drops the
  // frame buffers and frees the slot. Only a session that took the slot has anything to end.
  function end(reason) {
    if (phase !== 'starting' && phase !== 'publishing') return;
    const wasPublishing = phase === 'publishing';
    phase = 'ended';
    slot.release(api);
    if (wasPublishing) ndi.stop();
    const seconds = framesSent > 1 ? (lastFrameAt - firstFrameAt) / 1000 : 0;
    log.logEvent('session_end', {
      peer,
      reason,
      frames: framesSent,
      fps: seconds > 0 ? ((framesSent - 1) / seconds).toFixed(1) : 0,
      seconds: ((Date.now() - startedAt) / 1000).toFixed(1),
    });
    settings = null;
    frames.length = 0;
  }

  // What the status page shows; null before the hello.
  function describe() {
    if (phase !== 'publishing') return null;
    const { source, width, height, format, fpsN, fpsD } = settings;
    return { peer, source, width, height, format, fpsN, fpsD, frames: framesSent, startedAt, lastFrameAt };
  }

  // Calls read(frame, settings) with the last frame handed to the runtime and returns
  // what it returns (null when no frame was sent). The runtime may still be reading that
  // buffer: read must only read it, synchronously, and keep nothing of it.
  function withLastFrame(read) {
    if (phase !== 'publishing' || framesSent === 0) return null;
    return read(frames[(nextFrame + FRAME_BUFFERS - 1) % FRAME_BUFFERS], settings);
  }

  const api = { beginMessage, endMessage, end, describe, withLastFrame, phase: () => phase };
  return api;
}

module.exports = { createSession, createSlot, validateHello };
