'use strict';
// Turns the last frame the stand-in NDI runtime received (last-frame.raw and .json in its
// frame directory) into a PNG, and prints what it got as JSON.
// Usage: node demo/frame-to-png.js FRAME_DIR OUT.png
const fs = require('node:fs');
const path = require('node:path');
const { encodePng, uyvyToRgba } = require('./png');

const [frameDir, out] = process.argv.slice(2);
const info = JSON.parse(fs.readFileSync(path.join(frameDir, 'last-frame.json'), 'utf8'));
const raw = fs.readFileSync(path.join(frameDir, 'last-frame.raw'));
const { xres: width, yres: height, stride, fourcc } = info;
if (raw.length !== stride * height) throw new Error(`last-frame.raw has ${raw.length} bytes, expected ${stride * height}`);
let rgba;
if (fourcc === 'UYVY') {
  rgba = uyvyToRgba(width, height, raw, stride);
} else {
  rgba = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; y++) raw.copy(rgba, y * width * 4, y * stride, y * stride + width * 4);
}
fs.writeFileSync(out, encodePng(width, height, rgba));
const seconds = (info.last_ms - info.first_ms) / 1000;
console.log(JSON.stringify({ ...info, seconds, fps: info.frames > 1 && seconds > 0 ? (info.frames - 1) / seconds : 0 }));
