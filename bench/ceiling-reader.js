'use strict';
// The most the bridge could read: run in the bridge runtime (the Windows node.exe under
// Wine) by bench/chain.js, it connects to the port it is given, reads everything that
// comes, only counting the bytes, and when the stream ends answers with the count. It
// reads into one 4 MiB buffer, which stays in the processor's cache; or, given a frame
// size, into a ring of three buffers of that size, frame after frame, at most 4 MiB a
// read, as the bridge reads a stream of frames larger than the cache.
const net = require('node:net');

const MAX_READ_BYTES = 4 * 1024 * 1024;
const frameBytes = Number(process.argv[3] || 0);
let bytes = 0;
let onread;
if (frameBytes) {
  const ring = [0, 1, 2].map(() => Buffer.allocUnsafeSlow(frameBytes));
  let frame = 0;
  let at = 0;
  onread = {
    buffer: () => ring[frame].subarray(at, Math.min(frameBytes, at + MAX_READ_BYTES)),
    callback: (count) => {
      bytes += count;
      at += count;
      if (at === frameBytes) {
        at = 0;
        frame = (frame + 1) % ring.length;
      }
    },
  };
} else {
  onread = { buffer: Buffer.allocUnsafe(MAX_READ_BYTES), callback: (count) => { bytes += count; } };
}
const socket = net.connect({ port: Number(process.argv[2]), host: '127.0.0.1', onread });
socket.on('end', () => socket.end(`${bytes}\n`));
