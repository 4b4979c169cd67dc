'use strict';
// A session's decisions (session.js) over a recording addon, and its hello rules.
const test = require('node:test');
const assert = require('node:assert/strict');
const access = require('../../app/src/access');
const ws = require('../../app/src/frame-parser');
const { createSession, createSlot, validateHello } = require('../../app/src/session');
const { createRandom } = require('../rig/random');

// The session's records are not this test's business.
require('../../app/src/log').logTo(require('node:fs').openSync(require('node:os').devNull, 'w'));

// A session over a recording addon: what a first message starts, and what it refuses.
function session({ slotFree = true } = {}) {
  const calls = [];
  const replies = [];
  const refused = [];
  const ndi = {
    isAvailable: () => true,
    isRunning: () => false,
    start: (...args) => (calls.push(['start', ...args]), true),
    sendFrame: () => (calls.push(['sendFrame']), true),
    stop: () => calls.push(['stop']),
  };
  const slot = createSlot();
  if (!slotFree) slot.claim({});
  const connection = { peer: 'p', reply: (m) => replies.push(m), closeWith: (code) => calls.push(['close', code]), tokenShown: () => {} };
  const s = createSession(connection, {
    ndi, token: 'secret', stopKey: 'key', slot, figures: () => ({}),
    stop: () => calls.push(['shutdown']), frameRefused: () => refused.push(1),
  });
  const text = (object) => {
    const bytes = Buffer.from(typeof object === 'string' ? object : JSON.stringify(object));
    const target = s.beginMessage(ws.OPCODE.TEXT, bytes.length, true);
    bytes.copy(target);
    try {
      s.endMessage(ws.OPCODE.TEXT, target, bytes.length);
    } catch (error) {
      return [error.closeCode, error.code];
    }
    return null;
  };
  return { s, calls, replies, refused, text };
}

test('session: the token before anything, then a hello or a stop request', () => {
  const hello = { token: 'secret', source: 'S', width: 4, height: 2, fpsN: 30, format: 'UYVY' };
  for (const token of [undefined, 'secreT', 'secret ']) {
    const { calls, text } = session();
    assert.deepEqual(text({ ...hello, token }), [1008, 'bad_token']);
    assert.deepEqual(text({ type: 'shutdown', token }), [1008, 'bad_token']);
    assert.deepEqual(calls, []);
  }
  assert.deepEqual(session().text('{"token":'), [1007, 'bad_hello']);
  assert.deepEqual(session().text([1]), [1008, 'bad_hello']);
  assert.deepEqual(session().text({ ...hello, width: 3 }), [1008, 'bad_hello']);
  assert.deepEqual(session({ slotFree: false }).text(hello), [1013, 'busy']);

  const stop = session();
  assert.equal(stop.text({ type: 'shutdown', token: 'secret' }), null);
  assert.deepEqual(stop.calls, [['shutdown']]);
  // A nonce and its proof stand for the token, and the bridge proves the token back.
  const nonce = '0f'.repeat(16);
  const identifyProof = access.messageProof('secret', 'identify', nonce);
  assert.deepEqual(session().text({ type: 'identify', nonce, proof: access.messageProof('secreT', 'identify', nonce) }), [1008, 'bad_token']);
  const identify = session();
  assert.equal(identify.text({ type: 'identify', nonce, proof: identifyProof }), null);
  assert.deepEqual(identify.replies, [{ type: 'identity', pid: process.pid, proof: access.readyProof('secret', nonce) }]);
  // An identify's nonce and proof, caught and sent again as a hello, open nothing.
  assert.deepEqual(session().text({ ...hello, type: 'hello', token: undefined, nonce, proof: identifyProof }), [1008, 'bad_token']);
  const proven = session();
  const helloNonce = '1e'.repeat(16);
  assert.equal(proven.text({ ...hello, type: 'hello', token: undefined, nonce: helloNonce, proof: access.messageProof('secret', 'hello', helloNonce) }), null);
  assert.equal(proven.replies[0].proof, access.readyProof('secret', helloNonce));

  const { s, calls, replies, refused, text } = session();
  assert.equal(text(hello), null);
  assert.deepEqual(calls, [['start', 'S', 4, 2, 30, 1, 'UYVY']]);
  assert.equal(replies[0].frameBytes, 16);
  assert.throws(() => s.beginMessage(ws.OPCODE.BINARY, 17, true), { closeCode: 1009, code: 'wrong_frame_size' });
  assert.throws(() => s.beginMessage(ws.OPCODE.BINARY, 15, true), { closeCode: 1008, code: 'wrong_frame_size' });
  assert.equal(refused.length, 2, 'refused frames are counted for the status page');
  // Frames alternate between two buffers: the one the runtime may still read is never
  // the next one written.
  const buffers = [0, 1, 2].map(() => {
    const b = s.beginMessage(ws.OPCODE.BINARY, 16, true);
    s.endMessage(ws.OPCODE.BINARY, b, 16);
    return b;
  });
  assert.notEqual(buffers[0], buffers[1]);
  assert.equal(buffers[0], buffers[2]);
  assert.equal(text({ type: 'stats' }), null);
  assert.equal(replies.at(-1).frames, 3);
  assert.deepEqual(text({ type: 'hello', ...hello }), [1008, 'protocol_error']);
});

test('hello rules: the client library refuses exactly what the bridge refuses, with the same words', async () => {
  const { checkHello } = await import('../../client/index.mjs');
  const next = createRandom(20261207);
  const pick = (list) => list[next() % list.length];
  const numbers = [undefined, null, 0, 1, 2, 3, 1.5, -2, 31, 32, 4320, 4321, 7680, 8192, 8193, 1e6, 1e6 + 1, NaN, Infinity, '32'];
  const sources = [undefined, '', 'a', 'x'.repeat(200), 'x'.repeat(201), 'a\u0000b', 'a\u007fb', 'a\u0080b', 'Bühne 1 – ✓', 42];
  const formats = [undefined, 'RGBA', 'UYVY', 'rgba', ''];
  let accepted = 0;
  for (let i = 0; i < 20000; i++) {
    const hello = { source: pick(sources), width: pick(numbers), height: pick(numbers), fpsN: pick(numbers), format: pick(formats) };
    if (next() & 1) hello.fpsD = pick(numbers);
    const bridge = validateHello(hello).error ?? null;
    assert.equal(checkHello(hello), bridge, JSON.stringify(hello));
    if (bridge === null) accepted++;
  }
  assert.ok(accepted > 100, `${accepted} accepted: the table reaches both sides of every rule`);

  // The edges, one by one: the first three taken (a missing fpsD is 1), the rest refused.
  const good = { source: 'x'.repeat(200), width: 7680, height: 4320, fpsN: 1000000, fpsD: 1, format: 'UYVY' };
  const edges = [{}, { width: 2, height: 2, format: 'RGBA', source: 'Ünïcode ✓' }, { fpsD: undefined }, { source: '' },
    { source: 'x'.repeat(201) }, { source: 'a\u0007b' }, { source: 'a\u007fb' }, { source: 42 }, { width: 1 }, { height: 8193 },
    { width: 2.5 }, { width: 8192, height: 4096 }, { fpsN: 0 }, { fpsD: 1000001 }, { fpsN: '30' }, { format: 'rgba' }, { width: 7679 }];
  const told = edges.map((change) => checkHello({ ...good, ...change }));
  assert.deepEqual(told, edges.map((change) => validateHello({ ...good, ...change }).error ?? null));
  assert.deepEqual(told.map((error) => error === null), edges.map((_, i) => i < 3));
  assert.match(told[11], /larger than 7680x4320/);
  assert.deepEqual([checkHello(), checkHello(null)].map(Boolean), [true, true]);
});
