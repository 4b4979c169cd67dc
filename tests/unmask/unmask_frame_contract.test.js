'use strict';
// unmaskFrame as the script sees it: argument checks, views of every kind, the result.
const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { unmaskFrame } = require('./load_addon.js');

const MASK = Buffer.from([0x01, 0x02, 0x03, 0x04]);

function sample(length) {
  return Buffer.from(Array.from({ length }, (_, i) => (i * 37 + 11) & 0xff));
}

function expectUsageError(args) {
  const buffers = args.filter((a) => ArrayBuffer.isView(a)).map((a) => Buffer.from(a.buffer.slice(0)));
  assert.throws(() => unmaskFrame(...args), (err) => {
    assert.equal(err.constructor, TypeError);
    assert.equal(err.message, 'unmaskFrame(buffer, mask)');
    assert.equal(err.code, undefined);
    return true;
  });
  args.filter((a) => ArrayBuffer.isView(a)).forEach((a, i) => {
    assert.deepEqual(Buffer.from(a.buffer), buffers[i], 'no byte changed');
  });
}

describe('unmaskFrame result', () => {
  it('unmasks in place and returns the very buffer object', () => {
    const buf = Buffer.alloc(5);
    const result = unmaskFrame(buf, MASK);
    assert.strictEqual(result, buf);
    assert.deepEqual([...buf], [0x01, 0x02, 0x03, 0x04, 0x01]);
    assert.deepEqual([...MASK], [0x01, 0x02, 0x03, 0x04], 'mask untouched');
  });

  it('returns an empty buffer unchanged without throwing', () => {
    const empty = Buffer.alloc(0);
    assert.strictEqual(unmaskFrame(empty, MASK), empty);
    const emptyView = new Uint8Array(new ArrayBuffer(8), 8, 0);
    assert.strictEqual(unmaskFrame(emptyView, MASK), emptyView);
    assert.deepEqual([...new Uint8Array(emptyView.buffer)], [0, 0, 0, 0, 0, 0, 0, 0]);
  });

  it('leaves the buffer as it was with a zero mask, and restores it when called twice', () => {
    const original = sample(1031);
    const buf = Buffer.from(original);
    unmaskFrame(buf, Buffer.alloc(4));
    assert.deepEqual(buf, original);
    const mask = Buffer.from([0xa5, 0x5a, 0xff, 0x80]);
    unmaskFrame(buf, mask);
    assert.notDeepEqual(buf, original);
    assert.strictEqual(unmaskFrame(buf, mask), buf);
    assert.deepEqual(buf, original);
  });

  it('ignores arguments beyond the second', () => {
    const buf = Buffer.alloc(4);
    assert.strictEqual(unmaskFrame(buf, MASK, 'extra', Buffer.alloc(1)), buf);
    assert.deepEqual([...buf], [1, 2, 3, 4]);
  });
});

describe('unmaskFrame argument checks', () => {
  it('throws the TypeError for missing or non-buffer arguments, changing nothing', () => {
    const buf = sample(16);
    expectUsageError([]);
    expectUsageError([buf]);
    expectUsageError([buf, [1, 2, 3, 4]]);
    expectUsageError([[1, 2, 3, 4], MASK]);
    expectUsageError([buf, undefined]);
    expectUsageError([buf, null]);
    expectUsageError([buf, 0x04030201]);
    expectUsageError([buf, '\x01\x02\x03\x04']);
    expectUsageError(['abcd', MASK]);
    expectUsageError([buf.buffer, MASK]);
    expectUsageError([buf, new ArrayBuffer(4)]);
    assert.deepEqual(buf, sample(16));
  });

  it('throws the RangeError for a mask that is not 4 bytes, changing nothing', () => {
    for (const mask of [Buffer.alloc(0), Buffer.from([1, 2, 3]), Buffer.from([1, 2, 3, 4, 5]),
      new Uint16Array(1), new Uint32Array(2), new Float64Array(1)]) {
      const buf = sample(64);
      assert.throws(() => unmaskFrame(buf, mask), (err) => {
        assert.equal(err.constructor, RangeError);
        assert.equal(err.message, 'mask must contain exactly 4 bytes');
        assert.equal(err.code, undefined);
        return true;
      }, `mask of ${mask.byteLength} bytes`);
      assert.deepEqual(buf, sample(64));
    }
  });

  it('answers a DataView in either place with one plain Error and changes no byte', () => {
    const cases = [
      () => { const b = sample(32); return [new DataView(b.buffer, b.byteOffset, 32), MASK, b]; },
      () => { const b = sample(32); return [b, new DataView(new ArrayBuffer(4)), b]; },
      // A 3-byte DataView mask: the failed view query wins, no RangeError over it.
      () => { const b = sample(32); return [b, new DataView(new ArrayBuffer(3)), b]; },
    ];
    for (const make of cases) {
      const [buffer, mask, bytes] = make();
      const before = Buffer.from(bytes);
      let thrown = 0;
      try {
        unmaskFrame(buffer, mask);
      } catch (err) {
        thrown += 1;
        assert.equal(err.constructor, Error);
        assert.equal(typeof err.message, 'string');
        assert.notEqual(err.message, 'mask must contain exactly 4 bytes');
      }
      assert.equal(thrown, 1);
      assert.deepEqual(bytes, before);
    }
  });
});

describe('unmaskFrame views', () => {
  it('takes masks of other typed-array kinds by their 4 bytes in memory order', () => {
    for (const mask of [Uint16Array.of(0x0201, 0x0403), Uint32Array.of(0x04030201),
      Int8Array.of(1, 2, 3, 4), Uint8ClampedArray.of(1, 2, 3, 4), Float32Array.of(0)]) {
      const bytes = new Uint8Array(mask.buffer, mask.byteOffset, 4);
      const buf = Buffer.alloc(9);
      assert.strictEqual(unmaskFrame(buf, mask), buf);
      assert.deepEqual([...buf], [0, 1, 2, 3, 4, 5, 6, 7, 8].map((i) => bytes[i % 4]));
    }
  });

  it('unmasks every byte of wider typed-array buffers', () => {
    const u16 = new Uint16Array(7);
    assert.strictEqual(unmaskFrame(u16, MASK), u16);
    assert.deepEqual([...new Uint8Array(u16.buffer)], Array.from({ length: 14 }, (_, i) => i % 4 + 1));
    const f64 = new Float64Array(3);
    unmaskFrame(f64, Uint32Array.of(0xffffffff));
    assert.deepEqual([...new Uint8Array(f64.buffer)], new Array(24).fill(0xff));
    const u32 = new Uint32Array(new ArrayBuffer(32), 4, 5);
    unmaskFrame(u32, MASK);
    assert.deepEqual([...new Uint8Array(u32.buffer)],
      [0, 0, 0, 0, ...Array.from({ length: 20 }, (_, i) => i % 4 + 1), 0, 0, 0, 0, 0, 0, 0, 0]);
  });

  it('starts with mask byte 0 at a view\'s first byte, whatever its offset', () => {
    for (const offset of [1, 3, 5, 7, 61]) {
      const block = Buffer.alloc(offset + 11 + 6);
      const view = block.subarray(offset, offset + 11);
      unmaskFrame(view, MASK);
      const want = Buffer.alloc(block.length);
      for (let i = 0; i < 11; i += 1) want[offset + i] = MASK[i % 4];
      assert.deepEqual(block, want, `view at byte ${offset}`);
    }
  });
});
