'use strict';
// Writes WebSocket frames: the few the bridge itself sends (servers never mask), and the
// masked ones of the bridge's own small client (bridge-client.js), the tests and the tools.

const crypto = require('node:crypto');
const { OPCODE } = require('./frame-parser');

const MAX_CLOSE_REASON_BYTES = 123;

// One frame. mask: omitted for a server frame, true for a fresh random key, or the four
// bytes of the key; fin and rsv (the three reserved bits, as a number) set the header bits.
function encodeFrame(opcode, payload, { mask, fin = true, rsv = 0 } = {}) {
  const length = payload.length;
  const lengthBytes = length < 126 ? 0 : length < 0x10000 ? 2 : 8;
  const key = mask === true ? crypto.randomBytes(4) : mask;
  const headerLength = 2 + lengthBytes + (key ? 4 : 0);
  const frame = Buffer.allocUnsafe(headerLength + length);
  frame[0] = (fin ? 0x80 : 0) | (rsv << 4) | opcode;
  frame[1] = (key ? 0x80 : 0) | (lengthBytes === 0 ? length : lengthBytes === 2 ? 126 : 127);
  if (lengthBytes === 2) {
    frame.writeUInt16BE(length, 2);
  } else if (lengthBytes === 8) {
    frame.writeUInt32BE(Math.floor(length / 0x100000000), 2);
    frame.writeUInt32BE(length >>> 0, 6);
  }
  payload.copy(frame, headerLength);
  if (key) {
    key.copy(frame, headerLength - 4);
    for (let i = 0; i < length; i++) frame[headerLength + i] ^= key[i & 3];
  }
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

function encodeClose(code, reason = '', options) {
  const reasonBytes = truncateUtf8(reason, MAX_CLOSE_REASON_BYTES);
  const payload = Buffer.allocUnsafe(2 + reasonBytes.length);
  payload.writeUInt16BE(code, 0);
  reasonBytes.copy(payload, 2);
  return encodeFrame(OPCODE.CLOSE, payload, options);
}

function encodeText(text, options) {
  return encodeFrame(OPCODE.TEXT, Buffer.from(text, 'utf8'), options);
}

function encodePing() {
  return encodeFrame(OPCODE.PING, Buffer.alloc(0));
}

module.exports = { encodeFrame, encodeText, encodeClose, encodePing };
