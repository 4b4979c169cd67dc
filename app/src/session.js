'use strict';
// One connected application: its hello, the NDI sender started from it, and the frame
// buffers its binary messages land in.
//
// The hello is a JSON text message:
//   {"type":"hello","source":"Stage left","width":1920,"height":1080,
//    "fpsN":30,"fpsD":1,"format":"RGBA"}
// ("type" and "fpsD" may be left out; fpsD is then 1). The bridge answers
//   {"type":"ready","frameBytes":8294400,...}
// and from then on every binary message is one whole raw frame of exactly frameBytes
// bytes (RGBA: width*4 per line, UYVY: width*2 per line, no padding). The text message
// {"type":"stats"} is answered with the frame count and the bridge's CPU time so far.
// Every refusal is a {"type":"error","message":...} text followed by a close frame.

const { OPCODE, WebSocketError, decodeUtf8 } = require('./websocket');

const MAX_TEXT_BYTES = 64 * 1024;
const MAX_DIMENSION = 8192;
const MAX_PIXELS = 7680 * 4320;
const MAX_RATE_TERM = 1000000;
const MAX_SOURCE_CHARS = 200;
// The NDI runtime may still read the last frame handed to it until the next one has been
// handed over, so a new message never lands in that buffer: three buffers in rotation
// leave one spare for a message that is abandoned half-way.
const FRAME_BUFFERS = 3;

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
// reply(object): sends a JSON text message to the client.
// log(event, fields): one log record.
function createSession({ ndi, reply, log, peer }) {
  let settings = null;
  let textBuffer = null;
  const frames = [];
  let nextFrame = 0;
  let framesSent = 0;
  let firstFrameAt = 0;
  let lastFrameAt = 0;
  const startedAt = Date.now();

  function refuse(code, message) {
    throw new WebSocketError(code, message);
  }

  function beginMessage(opcode, length, fin) {
    if (opcode === OPCODE.TEXT) {
      if (length > MAX_TEXT_BYTES) refuse(1009, `text message too big: the limit is ${MAX_TEXT_BYTES} bytes`);
      textBuffer ??= Buffer.allocUnsafe(MAX_TEXT_BYTES);
      return textBuffer;
    }
    if (!settings) refuse(1008, 'send the hello before any frame');
    const expected = settings.frameBytes;
    if (fin && length > expected) {
      refuse(1009, `message too big: a frame is ${expected} bytes, this message is ${length}`);
    }
    if (fin && length !== expected) {
      refuse(1008, `wrong frame size: a frame is ${expected} bytes, this message is ${length}`);
    }
    // Allocated only now that the size is known to be the agreed one, never from what a
    // client claims.
    frames[nextFrame] ??= Buffer.allocUnsafeSlow(expected);
    return frames[nextFrame];
  }

  function startSender(hello) {
    const { settings: wanted, error } = validateHello(hello);
    if (error) refuse(1008, `bad hello: ${error}`);
    if (!ndi) refuse(1011, 'the NDI addon could not be loaded; see the bridge log');
    if (!ndi.isAvailable()) {
      log('ndi_runtime_unavailable', { peer });
      refuse(1011, 'NDI runtime not available on this machine');
    }
    // A sender left over from an earlier client would keep its old settings.
    if (ndi.isRunning()) ndi.stop();
    const { source, width, height, fpsN, fpsD, format, frameBytes } = wanted;
    if (!ndi.start(source, width, height, fpsN, fpsD, format)) {
      log('sender_refused', { peer, source, width, height, format });
      refuse(1011, 'the NDI runtime refused to create the sender');
    }
    settings = wanted;
    log('sender_started', { peer, source, width, height, fps: `${fpsN}/${fpsD}`, format, frame_bytes: frameBytes });
    reply({ type: 'ready', source, width, height, fpsN, fpsD, format, frameBytes });
  }

  function stats() {
    const cpu = process.cpuUsage();
    return {
      type: 'stats',
      frames: framesSent,
      cpuUserUs: cpu.user,
      cpuSystemUs: cpu.system,
      firstFrameMs: firstFrameAt,
      lastFrameMs: lastFrameAt,
    };
  }

  function onText(buffer, length) {
    const text = decodeUtf8(buffer.subarray(0, length));
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      refuse(1007, settings ? 'text message is not valid JSON' : 'the hello is not valid JSON');
    }
    if (!settings) return startSender(message);
    if (message && message.type === 'stats') return reply(stats());
    refuse(1008, 'after the hello only binary frames and {"type":"stats"} are accepted');
  }

  function onFrame(buffer, length) {
    if (length !== settings.frameBytes) {
      refuse(1008, `wrong frame size: a frame is ${settings.frameBytes} bytes, this message is ${length}`);
    }
    if (!ndi.sendFrame(buffer)) {
      log('frame_refused', { peer, frame: framesSent });
      refuse(1011, 'the NDI sender refused the frame');
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

  return { beginMessage, endMessage, end, hasHello: () => settings !== null };
}

module.exports = { createSession, validateHello };
