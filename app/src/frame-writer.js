'use strict';
// The few frames the bridge itself sends: servers never mask.

const { OPCODE } = require('./frame-parser');

const MAX_CLOSE_REASON_BYTES = 123;

// One unmasked server frame (servers never mask).
function encodeFrame(opcode, payload) {
  const length = payload.length;
  const headerLength = length < 126 ? 2 : length < 0x10000 ? 4 : 10;
  const frame = Buffer.allocUnsafe(headerLength + length);
  frame[0] = 0x80 | opcode;
  if (length < 126) {
    frame[1] = length;
  } else if (length < 0x10000) {
    frame[1] = 126;
    frame.writeUInt16BE(length, 2);
  } else {
    frame[1] = 127;
    frame.writeUInt32BE(Math.floor(length / 0x100000000), 2);
    frame.writeUInt32BE(length >>> 0, 6);
  }
  payload.copy(frame, headerLength);
  return frame;
}

// Cuts text to at most maxBytes of UTF-8 without splitting a character.
function truncateUtf8(text, maxBytes) {
  const bytes = Buffer.from(text, 'utf8');
  if (bytes.length <= maxBytes) return bytes;
  let end = maxBytes;
  while (end > 0 && (bytes[end] & 0xc0) === 0x80) end--;
  return bytes.subarray(0, end);
}

function encodeClose(code, reason = '') {
  const reasonBytes = truncateUtf8(reason, MAX_CLOSE_REASON_BYTES);
  const payload = Buffer.allocUnsafe(2 + reasonBytes.length);
  payload.writeUInt16BE(code, 0);
  reasonBytes.copy(payload, 2);
  return encodeFrame(OPCODE.CLOSE, payload);
}

function encodeText(text) {
  return encodeFrame(OPCODE.TEXT, Buffer.from(text, 'utf8'));
}

function encodePing() {
  return encodeFrame(OPCODE.PING, Buffer.alloc(0));
}

module.exports = { encodeFrame, encodeText, encodeClose, encodePing };
