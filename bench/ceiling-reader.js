'use strict';
// The most the bridge could read: run in the bridge runtime (the Windows node.exe under
// Wine) by bench/chain.js, it connects to the port it is given, reads everything that
// comes into one 4 MiB buffer, only counting the bytes, and when the stream ends answers
// with the count.
const net = require('node:net');

const buffer = Buffer.allocUnsafe(4 * 1024 * 1024);
let bytes = 0;
const socket = net.connect({
  port: Number(process.argv[2]),
  host: '127.0.0.1',
  onread: { buffer, callback: (count) => { bytes += count; } },
});
socket.on('end', () => socket.end(`${bytes}\n`));
