'use strict';
// unmaskFrame byte for byte against the plain loop that reads the mask at every step, on
// random sizes, view offsets and masks, with the mask apart from the buffer or a view into
// the buffer's own memory. Whole blocks are compared, so a write outside the view fails.
const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { unmaskFrame } = require('./load_addon.js');

const SEED = Number(process.env.KESTOVAR_UNMASK_SEED || 0x5eed);

// xorshift32: reproducible from the seed printed with a failure.
function makeRandom(seed) {
  let s = seed >>> 0 || 1;
  return (limit) => {
    s ^= s << 13; s >>>= 0;
    s ^= s >>> 17;
    s ^= s << 5; s >>>= 0;
    return s % limit;
  };
}

function referenceUnmask(data, mask) {
  for (let i = 0; i < data.length; i += 1) data[i] ^= mask[i & 3];
}

function randomBlock(random, size) {
  const block = new Uint8Array(size);
  for (let i = 0; i < size; i += 1) block[i] = random(256);
  return block;
}

function sizes(random) {
  const list = [];
  for (let n = 0; n <= 300; n += 1) list.push(n);
  for (let i = 0; i < 8; i += 1) list.push(301 + random(70000));
  list.push(8294400 + random(64), (1 << 20) + 1 + random(4096));
  return list;
}

function compareBlocks(got, want, what) {
  if (Buffer.compare(Buffer.from(got.buffer), Buffer.from(want.buffer)) !== 0) {
    const index = got.findIndex((b, i) => b !== want[i]);
    assert.fail(`${what}: first wrong byte ${index} (seed ${SEED})`);
  }
}

describe('unmaskFrame against the reference loop', () => {
  it('matches with a separate mask on random sizes, offsets and masks', () => {
    const random = makeRandom(SEED);
    for (const length of sizes(random)) {
      const offset = random(64);
      const got = randomBlock(random, offset + length + 64);
      const want = got.slice();
      const mask = Buffer.from([random(256), random(256), random(256), random(256)]);
      const view = Buffer.from(got.buffer, offset, length);
      assert.strictEqual(unmaskFrame(view, mask), view);
      referenceUnmask(want.subarray(offset, offset + length), mask);
      compareBlocks(got, want, `length ${length} offset ${offset}`);
    }
  });

  it('matches when the mask is a view into the buffer\'s own memory', () => {
    const random = makeRandom(SEED + 1);
    for (const length of sizes(random).filter((n, i) => i % 2 === 0 || n > 300)) {
      const offset = 8 + random(56);
      // From 3 bytes before the buffer's first byte to its last byte, plus the edges.
      const positions = [random(length + 3) - 3, -3, -1, 0, length - 4, length - 1]
        .filter((p) => p >= -3 && p + offset + 4 <= offset + length + 64);
      for (const at of positions) {
        const got = randomBlock(random, offset + length + 64);
        const want = got.slice();
        const view = new Uint8Array(got.buffer, offset, length);
        assert.strictEqual(unmaskFrame(view, new Uint8Array(got.buffer, offset + at, 4)), view);
        referenceUnmask(want.subarray(offset, offset + length), want.subarray(offset + at, offset + at + 4));
        compareBlocks(got, want, `length ${length} offset ${offset} mask at ${at}`);
      }
    }
  });

  it('matches with a Uint32Array mask over the buffer\'s memory and a Uint16Array buffer', () => {
    const random = makeRandom(SEED + 2);
    for (let round = 0; round < 40; round += 1) {
      const words = 1 + random(400);
      const got = randomBlock(random, 16 + words * 2 + 16);
      const want = got.slice();
      const buffer = new Uint16Array(got.buffer, 16, words);
      // 4-byte aligned, from just before the buffer to just after it.
      const at = 12 + 4 * random(Math.floor((words * 2 + 16) / 4));
      unmaskFrame(buffer, new Uint32Array(got.buffer, at, 1));
      referenceUnmask(want.subarray(16, 16 + words * 2), want.subarray(at, at + 4));
      compareBlocks(got, want, `${words} words, mask at ${at}`);
    }
  });
});
