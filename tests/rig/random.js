'use strict';
// Seeded pseudo-random numbers for the tests and the benchmarks: the same seed gives the
// same cases and the same frames on every run and on every machine.

// mulberry32: a fresh generator of 32-bit unsigned values.
function createRandom(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return (t ^ (t >>> 14)) >>> 0;
  };
}

// A frame whose content differs from frame to frame and from byte to byte.
function testFrame(bytes, seed) {
  const next = createRandom(seed);
  const frame = Buffer.allocUnsafe(bytes);
  let i = 0;
  for (; i + 4 <= bytes; i += 4) frame.writeUInt32LE(next(), i);
  for (; i < bytes; i++) frame[i] = next() & 0xff;
  return frame;
}

module.exports = { createRandom, testFrame };
