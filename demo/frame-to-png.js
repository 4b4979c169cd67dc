'use strict';
// Turns the last frame the stand-in NDI runtime received (last-frame.raw and .json in its
// frame directory) into a PNG, and prints what it got as JSON.
// Usage: node demo/frame-to-png.js FRAME_DIR OUT.png
const fs = require('node:fs');
const path = require('node:path');
const { encodePng } = require('../app/src/png');
const { frameToRgba } = require('../app/src/thumbnail');

const [frameDir, out] = process.argv.slice(2);
const info = JSON.parse(fs.readFileSync(path.join(frameDir, 'last-frame.json'), 'utf8'));
const raw = fs.readFileSync(path.join(frameDir, 'last-frame.raw'));
const { xres: width, yres: height, stride, fourcc } = info;
if (raw.length !== stride * height) throw new Error(`last-frame.raw has ${raw.length} bytes, expected ${stride * height}`);
const rgba = frameToRgba(raw, { width, height, stride, format: fourcc === 'UYVY' ? 'UYVY' : 'RGBA' });
fs.writeFileSync(out, encodePng(width, height, rgba));
const seconds = (info.last_ms - info.first_ms) / 1000;
console.log(JSON.stringify({ ...info, seconds, fps: info.frames > 1 && seconds > 0 ? (info.frames - 1) / seconds : 0 }));
