'use strict';
// The frame parser at every split and read size, and the violations it refuses.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const ws = require('../../app/src/frame-parser');
const { maskedFrame } = require('../rig/clients');

// A parser whose messages land in buffers of `limit` bytes; returns what it saw. With
// `direct`, it is read as the bridge's socket reads it: each read of at most `direct`
// bytes, never past a chunk's end (one write of the client's), lands in the parser's direct
// target when it offers one; seen.copiedReads (not enumerable) counts those that did not.
function parse(chunks, limit = 1 << 20, direct = 0) {
  const seen = [];
  const parser = ws.createFrameParser({
    unmask: ws.unmaskInJs,
    beginMessage: (opcode, length, fin) => Buffer.alloc(limit),
    endMessage: (opcode, buffer, length) => seen.push([opcode, Buffer.from(buffer.subarray(0, length)).toString('hex')]),
    control: (opcode, payload) => seen.push([opcode, Buffer.from(payload).toString('hex')]),
  });
  let copiedReads = 0;
  for (const chunk of chunks) {
    if (!direct) parser.push(chunk);
    for (let at = 0; direct && at < chunk.length;) {
      const target = parser.directTarget();
      const count = Math.min(direct, chunk.length - at, target ? target.length : Infinity);
      if (target) {
        chunk.copy(target, 0, at, at + count);
        parser.directArrived(count);
      } else {
        copiedReads++;
        parser.push(chunk.subarray(at, at + count));
      }
      at += count;
    }
  }
  return Object.defineProperty(seen, 'copiedReads', { value: copiedReads });
}

function violation(bytes, limit) {
  try {
    parse([bytes], limit);
  } catch (error) {
    return [error.closeCode, error.message];
  }
  return null;
}

test('frame parser: the same messages whatever the split, with controls between fragments', () => {
  const payload = crypto.randomBytes(70000);
  const stream = Buffer.concat([
    maskedFrame(2, payload.subarray(0, 3), { fin: false }),
    maskedFrame(9, Buffer.from('ping')),
    maskedFrame(0, payload.subarray(3, 200), { fin: false }),
    maskedFrame(0, payload.subarray(200)),
    maskedFrame(1, Buffer.from('{"type":"stats"}')),
    maskedFrame(2, Buffer.alloc(0)),
  ]);
  const whole = parse([stream]);
  assert.deepEqual(whole.map(([op]) => op), [9, 2, 1, 2]);
  assert.equal(whole[1][1], payload.toString('hex'));
  for (let cut = 1; cut < 400; cut++) assert.deepEqual(parse([stream.subarray(0, cut), stream.subarray(cut)]), whole);
  const bytes = [];
  for (let i = 0; i < stream.length; i += 997) bytes.push(stream.subarray(i, i + 997));
  assert.deepEqual(parse(bytes), whole);
  // Reads straight into the message buffers, past a frame's end too, whatever their size.
  for (const size of [1, 2, 7, 130, 4096, 1 << 20]) {
    assert.deepEqual(parse([stream], 1 << 20, size), whole, String(size));
    // Buffers with no room to spare: the last header has to go elsewhere.
    assert.deepEqual(parse([stream], payload.length, size), whole, `${size}, tight`);
  }
  // Chromium writes each fragment of a large message on its own, so a read often ends at
  // a fragment's end: the next header is read into the message's buffer too, and only the
  // first read, before the message has a buffer, is copied.
  const fragments = [0, 1, 2, 3].map((i) => maskedFrame(i ? 0 : 2, payload.subarray(i * 17500, (i + 1) * 17500), { fin: i === 3 }));
  const read = parse(fragments, payload.length, 1 << 20);
  assert.deepEqual(read, [[2, payload.toString('hex')]]);
  assert.equal(read.copiedReads, 1);
});

test('frame parser: violations and limits close with their codes', () => {
  assert.deepEqual(violation(maskedFrame(1, Buffer.from('x'), { mask: false })), [1002, 'client frames must be masked']);
  assert.equal(violation(maskedFrame(9, Buffer.alloc(126)))[0], 1002);
  assert.equal(violation(maskedFrame(0, Buffer.from('x')))[0], 1002);
  assert.throws(() => ws.parseClosePayload(Buffer.from([0x03, 0xed])), { code: 'protocol_error', closeCode: 1002 });
  assert.throws(() => ws.parseClosePayload(Buffer.from([0x03, 0xe8, 0xff])), { closeCode: 1007 });
  assert.deepEqual(ws.parseClosePayload(Buffer.from([0x0f, 0xa0, 0x68, 0x69])), { code: 4000, reason: 'hi' });
  // Fragments that together pass the limit are stopped at the one that passes it.
  const over = Buffer.concat([maskedFrame(2, Buffer.alloc(60), { fin: false }), maskedFrame(0, Buffer.alloc(5), { fin: false })]);
  assert.deepEqual(violation(over, 64), [1009, 'message too big: the limit is 64 bytes']);
});
