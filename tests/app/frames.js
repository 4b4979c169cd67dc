'use strict';
// Client frames as raw bytes, for tests that send exactly what they mean to, malformed
// on purpose included. Needs nothing but node.
const crypto = require('node:crypto');

// One client frame with a mask, as raw bytes; options override the header bits.
function maskedFrame(opcode, payload, { fin = true, rsv = 0, mask = crypto.randomBytes(4), masked = true, length } = {}) {
  const len = length === undefined ? payload.length : length;
  let header;
  if (len < 126) {
    header = Buffer.from([0, len]);
  } else if (len < 0x10000) {
    header = Buffer.alloc(4);
    header[1] = 126;
    header.writeUInt16BE(len, 2);
  } else {
    header = Buffer.alloc(10);
    header[1] = 127;
    header.writeBigUInt64BE(BigInt(len), 2);
  }
  header[0] = (fin ? 0x80 : 0) | (rsv << 4) | opcode;
  if (!masked) return Buffer.concat([header, payload]);
  header[1] |= 0x80;
  const body = Buffer.from(payload);
  for (let i = 0; i < body.length; i++) body[i] ^= mask[i & 3];
  return Buffer.concat([header, mask, body]);
}

module.exports = { maskedFrame };
