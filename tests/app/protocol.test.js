'use strict';
// The bridge's protocol logic on its own, in this machine's node: the frame parser at
// every split point, the door's decisions, the first message of a session, and the state
// file. The same code runs in the bridge runtime; the Wine tests drive it whole.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const app = path.join(__dirname, '..', '..', 'app', 'src');
const ws = require(path.join(app, 'websocket'));
const access = require(path.join(app, 'access'));
const { createSession } = require(path.join(app, 'session'));
const stateFile = require(path.join(app, 'state-file'));
const { maskedFrame } = require('./frames');

// A parser whose messages land in buffers of `limit` bytes; returns what it saw. With
// `direct`, it is read as the bridge's socket reads it: each read of at most `direct`
// bytes lands in the parser's direct target when it offers one.
function parse(chunks, limit = 1 << 20, direct = 0) {
  const seen = [];
  const parser = ws.createFrameParser({
    unmask: ws.unmaskInJs,
    beginMessage: (opcode, length, fin) => Buffer.alloc(limit),
    endMessage: (opcode, buffer, length) => seen.push([opcode, Buffer.from(buffer.subarray(0, length)).toString('hex')]),
    control: (opcode, payload) => seen.push([opcode, Buffer.from(payload).toString('hex')]),
  });
  if (!direct) {
    for (const chunk of chunks) parser.push(chunk);
    return seen;
  }
  const stream = Buffer.concat(chunks);
  for (let at = 0; at < stream.length;) {
    const target = parser.directTarget();
    const count = Math.min(direct, stream.length - at, target ? target.length : Infinity);
    if (target) {
      stream.copy(target, 0, at, at + count);
      parser.directArrived(count);
    } else {
      parser.push(stream.subarray(at, at + count));
    }
    at += count;
  }
  return seen;
}

function violation(bytes, limit) {
  try {
    parse([bytes], limit);
  } catch (error) {
    return [error.code, error.message];
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
  // Reads straight into the frame buffers, never past a frame, whatever their size.
  for (const size of [1, 2, 7, 130, 4096, 1 << 20]) assert.deepEqual(parse([stream], 1 << 20, size), whole, String(size));
});

test('frame parser: violations and limits close with their codes', () => {
  assert.deepEqual(violation(maskedFrame(1, Buffer.from('x'), { masked: false })), [1002, 'client frames must be masked']);
  assert.equal(violation(maskedFrame(9, Buffer.alloc(126)))[0], 1002);
  assert.equal(violation(maskedFrame(0, Buffer.from('x')))[0], 1002);
  assert.throws(() => ws.parseClosePayload(Buffer.from([0x03, 0xed])), { code: 1002 });
  assert.throws(() => ws.parseClosePayload(Buffer.from([0x03, 0xe8, 0xff])), { code: 1007 });
  assert.deepEqual(ws.parseClosePayload(Buffer.from([0x0f, 0xa0, 0x68, 0x69])), { code: 4000, reason: 'hi' });
  // Fragments that together pass the limit are stopped at the one that passes it.
  const over = Buffer.concat([maskedFrame(2, Buffer.alloc(60), { fin: false }), maskedFrame(0, Buffer.alloc(5), { fin: false })]);
  assert.deepEqual(violation(over, 64), [1009, 'message too big: the limit is 64 bytes']);
});

test('door: loopback hosts, listed origins, tokens in constant time', () => {
  for (const host of ['127.0.0.1', '127.0.0.1:17480', 'LOCALHOST:1', '[::1]:80']) assert.ok(access.isLoopbackHost(host), host);
  for (const host of [undefined, '', 'evil.example', '127.0.0.1.evil.example', 'localhost.', '[::2]:80', '127.0.0.1:80:80']) {
    assert.ok(!access.isLoopbackHost(host), String(host));
  }
  const origins = access.parseOriginList(' http://127.0.0.1:5173, ,https://app.example ');
  assert.deepEqual([...origins], ['http://127.0.0.1:5173', 'https://app.example']);
  const ok = { host: '127.0.0.1:1' };
  assert.equal(access.refuseUpgrade(ok, origins), null);
  assert.equal(access.refuseUpgrade({ ...ok, origin: 'https://app.example' }, origins), null);
  for (const origin of ['https://app.example/', 'http://127.0.0.1:5174', 'null', '']) {
    assert.equal(access.refuseUpgrade({ ...ok, origin }, origins).status, 403, origin);
  }
  assert.equal(access.refuseUpgrade({ ...ok, origin: 'http://127.0.0.1:5173' }, access.parseOriginList(undefined)).status, 403);
  const token = access.makeToken();
  assert.match(token, /^[0-9a-f]{64}$/);
  assert.notEqual(token, access.makeToken());
  assert.ok(access.tokenMatches(token, token));
  for (const wrong of [undefined, null, 1, '', token.slice(1), token + 'a', token.toUpperCase(), [token]]) {
    assert.ok(!access.tokenMatches(token, wrong), String(wrong));
  }
});

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
  const s = createSession({
    ndi, token: 'secret', peer: 'p', log: () => {}, reply: (m) => replies.push(m),
    claimSlot: () => slotFree, onShutdown: () => calls.push(['shutdown']), onFrameRefused: () => refused.push(1),
  });
  const text = (object) => {
    const bytes = Buffer.from(typeof object === 'string' ? object : JSON.stringify(object));
    const target = s.beginMessage(ws.OPCODE.TEXT, bytes.length, true);
    bytes.copy(target);
    try {
      s.endMessage(ws.OPCODE.TEXT, target, bytes.length);
    } catch (error) {
      return [error.code, error.id];
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

  const { s, calls, replies, refused, text } = session();
  assert.equal(text(hello), null);
  assert.deepEqual(calls, [['start', 'S', 4, 2, 30, 1, 'UYVY']]);
  assert.equal(replies[0].frameBytes, 16);
  assert.throws(() => s.beginMessage(ws.OPCODE.BINARY, 17, true), { code: 1009, id: 'wrong_frame_size' });
  assert.throws(() => s.beginMessage(ws.OPCODE.BINARY, 15, true), { code: 1008, id: 'wrong_frame_size' });
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

test('state file: written whole, read back, removed only by its own bridge', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-state-'));
  assert.equal(stateFile.readState(dir), null);
  const state = { port: 17480, pid: 4242, token: 'a'.repeat(64), started: new Date().toISOString() };
  stateFile.writeState(path.join(dir, 'new', 'sub'), state);
  assert.deepEqual(stateFile.readState(path.join(dir, 'new', 'sub')), state);
  assert.deepEqual(fs.readdirSync(path.join(dir, 'new', 'sub')), ['bridge.json']);
  assert.equal(stateFile.removeOwnState(path.join(dir, 'new', 'sub'), 4343), false);
  assert.equal(stateFile.removeOwnState(path.join(dir, 'new', 'sub'), 4242), true);
  for (const bad of ['{', '[]', '{"port":0,"pid":1,"token":"t"}', '{"port":1,"pid":"1","token":"t"}']) {
    fs.writeFileSync(path.join(dir, 'bridge.json'), bad);
    assert.equal(stateFile.readState(dir), null, bad);
  }
  assert.equal(stateFile.stateDirectory({ KESTOVAR_BRIDGE_STATE_DIR: 'X', LOCALAPPDATA: 'L' }), 'X');
  assert.equal(stateFile.stateDirectory({ LOCALAPPDATA: 'L' }), path.join('L', 'Tarnwell', 'Kestovar Output Bridge'));
  assert.equal(stateFile.stateDirectory({}), null);
  fs.rmSync(dir, { recursive: true });
});
