// Node.js only: a session's frames written by the library itself on the socket of a `ws`
// WebSocket, instead of through `ws`, which masks every frame into a fresh buffer of its
// own. Fresh buffers of a frame's size can cost more than the masking: new pages for the
// system to map and zero, and garbage to collect. Here each frame is masked in one pass
// (copy and mask together) into one of a few buffers the session owns and reuses, behind
// its header, so that header and payload go out in one write. Every frame gets a fresh
// mask key from the system's secure random source, as RFC 6455 requires of clients.
// `bufferutil` (native) masks when it is installed; plain JavaScript otherwise.
import { randomFillSync } from 'node:crypto';
import net from 'node:net';

// The payload starts at this offset in every buffer, aligned for the 8-byte masking
// below; the header sits right before it.
const PAYLOAD_AT = 16;
// Mask keys are drawn from a pool filled from the secure source, 4 bytes a frame.
const KEY_POOL_BYTES = 4096;
const keyPool = Buffer.allocUnsafe(KEY_POOL_BYTES);
let keyAt = KEY_POOL_BYTES;

// WS_NO_BUFFER_UTIL turns it off, as it does for `ws`.
let nativeMask = null;
if (!process.env.WS_NO_BUFFER_UTIL) {
  try {
    nativeMask = (await import('bufferutil')).default.mask;
  } catch {
    // not installed: plain JavaScript below
  }
}

function nextKey(buffer, at) {
  if (keyAt === KEY_POOL_BYTES) {
    randomFillSync(keyPool);
    keyAt = 0;
  }
  keyPool.copy(buffer, at, keyAt, keyAt + 4);
  keyAt += 4;
}

// The client frame header of a binary message of `length` bytes, mask key left out.
function binaryHeader(length) {
  if (length < 126) return Buffer.from([0x82, 0x80 | length]);
  if (length < 0x10000) return Buffer.from([0x82, 0x80 | 126, length >> 8, length & 0xff]);
  const header = Buffer.alloc(10);
  header[0] = 0x82;
  header[1] = 0x80 | 127;
  header.writeBigUInt64BE(BigInt(length), 2);
  return header;
}

// Copies source (bytes) into buffer at PAYLOAD_AT, masked with the 4 key bytes before it.
function maskInto(source, buffer, length) {
  const key = buffer.subarray(PAYLOAD_AT - 4, PAYLOAD_AT);
  if (nativeMask) return nativeMask(source, key, buffer, PAYLOAD_AT, length);
  source.copy(buffer, PAYLOAD_AT, 0, length);
  const words = length >> 3;
  const key8 = Buffer.concat([key, key]).readBigUInt64LE(0);
  const view = new BigUint64Array(buffer.buffer, buffer.byteOffset + PAYLOAD_AT, words);
  for (let i = 0; i < words; i++) view[i] ^= key8;
  for (let i = words << 3; i < length; i++) buffer[PAYLOAD_AT + i] ^= key[i & 3];
}

function asBuffer(pixels) {
  if (pixels instanceof ArrayBuffer) return Buffer.from(pixels);
  return Buffer.from(pixels.buffer, pixels.byteOffset, pixels.byteLength);
}

// For a `ws` WebSocket without extensions: write(pixels) that puts one binary frame on
// its socket and returns true, or false when the socket is not open (the caller then
// leaves the frame to `ws`). written() is called each time the socket has handed a frame
// to the system. Returns null for any other WebSocket.
export function frameWriter(socket, frameBytes, written = () => {}) {
  const stream = socket._socket;
  if (!(stream instanceof net.Socket) || socket.extensions !== '' || socket.readyState !== socket.OPEN) return null;
  const header = binaryHeader(frameBytes);
  const start = PAYLOAD_AT - 4 - header.length;
  // Buffers the socket has let go of; at most the frames in flight plus one are made.
  const free = [];
  return function write(pixels) {
    if (socket.readyState !== socket.OPEN || stream.destroyed) return false;
    let buffer = free.pop();
    if (!buffer) {
      buffer = Buffer.allocUnsafeSlow(PAYLOAD_AT + frameBytes);
      header.copy(buffer, start);
    }
    nextKey(buffer, PAYLOAD_AT - 4);
    maskInto(asBuffer(pixels), buffer, frameBytes);
    stream.write(buffer.subarray(start), () => {
      free.push(buffer);
      written();
    });
    return true;
  };
}
