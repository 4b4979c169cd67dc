'use strict';
// The demo's moving test pattern in RGBA: colour bars, a white box sweeping across them,
// and the frame number in large seven-segment digits.

const BARS = [
  [192, 192, 192], [192, 192, 0], [0, 192, 192], [0, 192, 0],
  [192, 0, 192], [192, 0, 0], [0, 0, 192],
];
// Segments a..g of each digit.
const DIGITS = ['abcdef', 'bc', 'abdeg', 'abcdg', 'bcfg', 'acdfg', 'acdefg', 'abc', 'abcdefg', 'abcdfg'];

function fillRect(frame, width, height, x0, y0, w, h, [r, g, b]) {
  const x1 = Math.min(width, x0 + w);
  const y1 = Math.min(height, y0 + h);
  x0 = Math.max(0, x0);
  y0 = Math.max(0, y0);
  if (x1 <= x0 || y1 <= y0) return;
  const row = Buffer.alloc((x1 - x0) * 4);
  for (let i = 0; i < row.length; i += 4) {
    row[i] = r; row[i + 1] = g; row[i + 2] = b; row[i + 3] = 255;
  }
  for (let y = y0; y < y1; y++) row.copy(frame, (y * width + x0) * 4);
}

function drawDigit(frame, width, height, digit, x, y, size) {
  const t = Math.max(2, Math.round(size / 5));
  const white = [255, 255, 255];
  const segments = {
    a: [x, y, size, t], d: [x, y + 2 * size - t, size, t], g: [x, y + size - t / 2, size, t],
    f: [x, y, t, size], b: [x + size - t, y, t, size],
    e: [x, y + size, t, size], c: [x + size - t, y + size, t, size],
  };
  for (const s of DIGITS[digit]) {
    const [sx, sy, sw, sh] = segments[s];
    fillRect(frame, width, height, Math.round(sx), Math.round(sy), Math.round(sw), Math.round(sh), white);
  }
}

function createPattern(width, height) {
  const base = Buffer.alloc(width * height * 4);
  const barHeight = Math.round(height * 0.75);
  BARS.forEach((colour, i) => {
    const x0 = Math.round((i * width) / BARS.length);
    const x1 = Math.round(((i + 1) * width) / BARS.length);
    fillRect(base, width, height, x0, 0, x1 - x0, barHeight, colour);
  });
  // A grey ramp under the bars.
  for (let x = 0; x < width; x++) {
    const v = Math.round((x * 255) / (width - 1));
    fillRect(base, width, height, x, barHeight, 1, height - barHeight, [v, v, v]);
  }
  const box = Math.round(height / 8);
  const digitSize = Math.round(height / 10);

  // Draws frame number n into `frame` (width*height*4 bytes).
  return function draw(frame, n) {
    base.copy(frame);
    const travel = width - box;
    const phase = (n * 8) % (2 * travel);
    const x = phase < travel ? phase : 2 * travel - phase;
    fillRect(frame, width, height, x, Math.round(barHeight / 2 - box / 2), box, box, [255, 255, 255]);
    fillRect(frame, width, height, 0, barHeight - 2 * digitSize - 24, 6 * (digitSize + 12) + 24, 2 * digitSize + 24, [16, 16, 16]);
    const text = String(n).padStart(6, '0');
    for (let i = 0; i < text.length; i++) {
      drawDigit(frame, width, height, Number(text[i]), 12 + i * (digitSize + 12), barHeight - 2 * digitSize - 12, digitSize);
    }
    return frame;
  };
}

module.exports = { BARS, createPattern };
