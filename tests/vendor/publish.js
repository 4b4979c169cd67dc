'use strict';
// One sender on the vendor runtime, in the Windows node.exe (started by addon.test.js):
// isAvailable, start, then FRAMES asynchronous sends, each from a new buffer, with a forced
// collection every 100 frames, so that the runtime's hold on a buffer meets the collector.
// Writes { available, started, accepted } to RESULT, then keeps the sender up until the
// file HOLD exists (the finder has looked) and leaves without stop(): under Wine the
// runtime's NDIlib_send_destroy never returns, and a process that ends without it ends at
// once. Run with --expose-gc.
const fs = require('node:fs');
const path = require('node:path');

const { NAME, FORMAT, FRAMES, RESULT, HOLD } = process.env;
const ndi = require(path.join(process.env.KESTOVAR_BUILD_DIR, 'native', 'ndi', 'quorvex.node'));
const width = 64;
const height = 36;
const bytes = width * height * (FORMAT === 'UYVY' ? 2 : 4);

const result = { available: ndi.isAvailable(), started: false, accepted: 0 };
result.started = result.available && ndi.start(NAME, width, height, 30, 1, FORMAT);
for (let n = 0; result.started && n < Number(FRAMES); n++) {
  if (ndi.sendFrame(Buffer.alloc(bytes, n & 0xff))) result.accepted++;
  if (n % 100 === 99) global.gc();
}
// Whole or not at all: the test reads it as soon as it is there.
fs.writeFileSync(`${RESULT}.tmp`, JSON.stringify(result));
fs.renameSync(`${RESULT}.tmp`, RESULT);
const until = Date.now() + 30000;
const wait = setInterval(() => {
  if (fs.existsSync(HOLD) || Date.now() > until) {
    clearInterval(wait);
    process.exit(0);
  }
}, 50);
