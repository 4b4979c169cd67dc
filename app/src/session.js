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
// The first message may instead be {"type":"shutdown","token":...}, which stops the bridge.
// Every refusal is a {"type":"error","code":...,"error":<stable id>,"message":...} text
// followed by a close frame.

const { OPCODE, WebSocketError, decodeUtf8 } = require('./websocket');
const { proofMatches, keyProof } = require('./access');

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

// ndi: the loaded addon, or null when it could not be loaded.
// token: the bridge's token, which the first message must carry.
// stopKey: the status page's key, which may stand for the token in a stop request; null
//   unless the connection comes from the page's own origin.
// claimSlot(): takes the one application slot; false when another application holds it.
// onShutdown(): a stop request with the right token came.
// collectGarbage: null, or a full collection to run before each stats answer (tests).
// onFrameRefused(): a frame was refused (wrong size, or the runtime would not take it).
// reply(object): sends a JSON text message to the client.
// log(event, fields): one log record.
function createSession({
  ndi, token, stopKey = null, claimSlot, onShutdown, reply, log, peer, collectGarbage = null, onFrameRefused = () => {},
}) {
  let settings = null;
  let authenticated = false;
  let textBuffer = null;
  const frames = [];
  let nextFrame = 0;
  let framesSent = 0;
  let firstFrameAt = 0;
  let lastFrameAt = 0;
  const startedAt = Date.now();

  function refuse(code, message, id) {
    throw new WebSocketError(code, message, id);
  }

  // A frame the bridge will not publish: counted, then refused like anything else.
  function refuseFrame(code, message, id) {
    onFrameRefused();
    refuse(code, message, id);
  }

  function beginMessage(opcode, length, fin) {
    if (opcode === OPCODE.TEXT) {
      if (length > MAX_TEXT_BYTES) refuse(1009, `text message too big: the limit is ${MAX_TEXT_BYTES} bytes`, 'protocol_error');
      textBuffer ??= Buffer.allocUnsafe(MAX_TEXT_BYTES);
      return textBuffer;
    }
    if (!settings) refuse(1008, 'send the hello before any frame', 'bad_hello');
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

  function startSender(hello) {
    const { settings: wanted, error } = validateHello(hello);
    if (error) refuse(1008, `bad hello: ${error}`, 'bad_hello');
    if (!claimSlot()) refuse(1013, 'another application is already connected to the bridge', 'busy');
    if (!ndi) refuse(1011, 'the NDI addon could not be loaded; see the bridge log', 'runtime_unavailable');
    if (!ndi.isAvailable()) {
      log('ndi_runtime_unavailable', { peer });
      refuse(1011, 'NDI runtime not available on this machine', 'runtime_unavailable');
    }
    // A sender left over from an earlier client would keep its old settings.
    if (ndi.isRunning()) ndi.stop();
    const { source, width, height, fpsN, fpsD, format, frameBytes } = wanted;
    if (!ndi.start(source, width, height, fpsN, fpsD, format)) {
      log('sender_refused', { peer, source, width, height, format });
      refuse(1011, 'the NDI runtime refused to create the sender', 'runtime_unavailable');
    }
    settings = wanted;
    log('sender_started', { peer, source, width, height, fps: `${fpsN}/${fpsD}`, format, frame_bytes: frameBytes });
    // The bridge's own proof of the token, against the nonce of a proven hello.
    const proof = typeof hello.nonce === 'string' ? keyProof(token, 'kestovar-ready:', hello.nonce) : undefined;
    reply({ type: 'ready', source, width, height, fpsN, fpsD, format, frameBytes, proof });
  }

  function stats() {
    if (collectGarbage) collectGarbage();
    const cpu = process.cpuUsage();
    return {
      type: 'stats',
      frames: framesSent,
      cpuUserUs: cpu.user,
      cpuSystemUs: cpu.system,
      firstFrameMs: firstFrameAt,
      lastFrameMs: lastFrameAt,
      rssBytes: process.memoryUsage.rss(),
      resources: process.getActiveResourcesInfo().length,
    };
  }

  function onText(buffer, length) {
    const text = decodeUtf8(buffer.subarray(0, length));
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      refuse(1007, settings ? 'text message is not valid JSON' : 'the hello is not valid JSON',
        settings ? 'protocol_error' : 'bad_hello');
    }
    if (!authenticated) return firstMessage(message);
    if (message && message.type === 'stats') return reply(stats());
    refuse(1008, 'after the hello only binary frames and {"type":"stats"} are accepted', 'protocol_error');
  }

  // The token is checked before anything else in the message is looked at, so a client
  // without it learns nothing and holds nothing.
  function firstMessage(message) {
    const isObject = message !== null && typeof message === 'object' && !Array.isArray(message);
    const isShutdown = isObject && message.type === 'shutdown';
    const pageStop = isShutdown && stopKey !== null && proofMatches(stopKey, message);
    if (isObject && !pageStop && !proofMatches(token, message)) {
      refuse(1008, 'bad token: give the token from the bridge state file (bridge.json)', 'bad_token');
    }
    if (isShutdown) {
      authenticated = true;
      return onShutdown();
    }
    startSender(message);
    authenticated = true;
  }

  function onFrame(buffer, length) {
    if (length !== settings.frameBytes) {
      refuseFrame(1008, `wrong frame size: a frame is ${settings.frameBytes} bytes, this message is ${length}`, 'wrong_frame_size');
    }
    if (!ndi.sendFrame(buffer)) {
      log('frame_refused', { peer, frame: framesSent });
      refuseFrame(1011, 'the NDI sender refused the frame', 'runtime_unavailable');
    }
    lastFrameAt = Date.now();
    if (framesSent === 0) {
      firstFrameAt = lastFrameAt;
      log('first_frame', { peer });
    }
    framesSent++;
    nextFrame = (nextFrame + 1) % FRAME_BUFFERS;
  }

  function endMessage(opcode, buffer, length) {
    if (opcode === OPCODE.TEXT) onText(buffer, length);
    else onFrame(buffer, length);
  }

  // Stops the sender (flushing the runtime, which lets go of the last frame) and drops
  // the frame buffers.
  function end(reason) {
    if (settings && ndi) ndi.stop();
    const seconds = framesSent > 1 ? (lastFrameAt - firstFrameAt) / 1000 : 0;
    log('session_end', {
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
    if (!settings) return null;
    const { source, width, height, format, fpsN, fpsD } = settings;
    return { peer, source, width, height, format, fpsN, fpsD, frames: framesSent, startedAt, lastFrameAt };
  }

  // Calls read(frame, settings) with the last frame handed to the runtime and returns
  // what it returns (null when no frame was sent). The runtime may still be reading that
  // buffer: read must only read it, synchronously, and keep nothing of it.
  function withLastFrame(read) {
    if (!settings || framesSent === 0) return null;
    return read(frames[(nextFrame + FRAME_BUFFERS - 1) % FRAME_BUFFERS], settings);
  }

  return {
    beginMessage, endMessage, end, describe, withLastFrame,
    authenticated: () => authenticated,
  };
}

module.exports = { createSession, validateHello };
