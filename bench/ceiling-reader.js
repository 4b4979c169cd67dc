'use strict';
// The most the bridge could read: run in the bridge runtime (the Windows node.exe under
// Wine) by bench/chain.js, it reads everything that comes on one connection, only
// counting the bytes, and when the stream ends answers with the count. It reads into one
// 4 MiB buffer, which stays in the processor's cache; or, given a frame size, into a ring
// of three buffers of that size, frame after frame, at most 4 MiB a read, as the bridge
// reads a stream of frames larger than the cache.
//
//   ceiling-reader.js PORT [FRAME_BYTES] [connect|accept]
// connect (the default): it connects to PORT. accept (with FRAME_BYTES): it listens on a
// port of its own, prints "port N", and reads the connection it accepts through the bridge's own reader
// (app/src/reader.js), as the bridge reads its applications. Under Wine the descriptor of
// an accepted socket is never cached, so each of its reads costs the Wine server one more
// request than a read of a socket that connected.
const net = require('node:net');
const { openConnection } = require('../app/src/reader');

const MAX_READ_BYTES = 4 * 1024 * 1024;
const [port, frameArgument, how = 'connect'] = process.argv.slice(2);
const frameBytes = Number(frameArgument || 0);
let bytes = 0;

function ringReads() {
  const ring = [0, 1, 2].map(() => Buffer.allocUnsafeSlow(frameBytes));
  let frame = 0;
  let at = 0;
  return {
    target: () => ring[frame].subarray(at, Math.min(frameBytes, at + MAX_READ_BYTES)),
    arrived(count) {
      bytes += count;
      at += count;
      if (at === frameBytes) {
        at = 0;
        frame = (frame + 1) % ring.length;
      }
    },
    chunk: (data) => { bytes += data.length; },
  };
}

function countOnEnd(socket) {
  socket.on('end', () => socket.end(`${bytes}\n`));
}

if (how === 'accept') {
  const reads = ringReads();
  const server = net.createServer({ pauseOnConnect: true }, (accepted) => {
    server.close();
    countOnEnd(openConnection(accepted, reads).socket);
  });
  server.listen(0, '127.0.0.1', () => console.log(`port ${server.address().port}`));
} else {
  const ring = frameBytes ? ringReads() : null;
  const onread = ring
    ? { buffer: ring.target, callback: ring.arrived }
    : { buffer: Buffer.allocUnsafe(MAX_READ_BYTES), callback: (count) => { bytes += count; } };
  countOnEnd(net.connect({ port: Number(port), host: '127.0.0.1', onread }));
}
