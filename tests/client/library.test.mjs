// The client library against a fake bridge in this process (the `ws` server): the
// hello and ready, every refusal the bridge can give, back-pressure in both modes, the
// timeout and the state file.
import test from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { once } from 'node:events';
import { createRequire } from 'node:module';
import WebSocket, { WebSocketServer } from 'ws';
import { connect, parseFrameRate } from '../../client/index.mjs';

const cjs = createRequire(import.meta.url)('../../client/index.cjs');
const TOKEN = 'ab'.repeat(32);
const HELLO = { source: 'Test source ✓', width: 8, height: 4, fps: 25 };

function answerReady(socket, hello) {
  const { token, ...settings } = hello;
  socket.send(JSON.stringify({ ...settings, type: 'ready', frameBytes: hello.width * hello.height * 4 }));
}

function refuse(socket, code, error, message) {
  if (code !== 1001) socket.send(JSON.stringify({ type: 'error', code, error, message }));
  socket.close(code, message);
}

// A fake bridge: records what it gets, answers stats, refuses browser origins other
// than http://allowed.test with HTTP 403, and answers the first text with onFirst.
async function fakeBridge(t, onFirst = answerReady) {
  const server = new WebSocketServer({
    host: '127.0.0.1',
    port: 0,
    verifyClient: ({ origin }, done) => done(!origin || origin === 'http://allowed.test', 403, 'origin not allowed'),
  });
  await once(server, 'listening');
  t.after(() => new Promise((resolve) => {
    for (const client of server.clients) client.terminate();
    server.close(resolve);
  }));
  const bridge = { port: server.address().port, firsts: [], frames: [], closes: [], sockets: [] };
  server.on('connection', (socket) => {
    bridge.sockets.push(socket);
    socket.on('message', (data, isBinary) => {
      if (isBinary) return bridge.frames.push(Buffer.from(data));
      const message = JSON.parse(data);
      if (message.type === 'stats') return socket.send(JSON.stringify({ type: 'stats', frames: bridge.frames.length }));
      bridge.firsts.push(message);
      onFirst(socket, message, bridge);
    });
    socket.on('close', (code) => bridge.closes.push(code));
  });
  return bridge;
}

async function freePort() {
  const server = net.createServer().listen(0, '127.0.0.1');
  await once(server, 'listening');
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

test('hello, ready, frames of every kind byte-exact, stats and close', async (t) => {
  const bridge = await fakeBridge(t);
  const session = await connect({ ...HELLO, fps: '30000/1001', port: bridge.port, token: TOKEN });
  assert.deepEqual(bridge.firsts, [{ type: 'hello', token: TOKEN, source: HELLO.source, width: 8, height: 4,
    fpsN: 30000, fpsD: 1001, format: 'RGBA' }]);
  assert.equal(session.frameBytes, 128);
  assert.equal(session.statusPage, `http://127.0.0.1:${bridge.port}/`);
  const frames = [new Uint8Array(128).fill(1), new Uint8ClampedArray(128).fill(2),
    new Uint8Array(128).fill(3).buffer, Buffer.alloc(128, 4), new Uint8Array(256).fill(5).subarray(64, 192)];
  for (const frame of frames) assert.equal(await session.sendFrame(frame), true);
  await assert.rejects(session.sendFrame(new Uint8Array(127)), { code: 'wrong_frame_size', message: /a frame is 128 bytes, this one is 127/ });
  await assert.rejects(session.sendFrame(new Float32Array(32)), { code: 'bad_options' });
  assert.equal((await session.stats()).frames, 5);
  assert.deepEqual(bridge.frames.map((f) => [f.length, f[0]]), [[128, 1], [128, 2], [128, 3], [128, 4], [128, 5]]);
  assert.equal(session.sent, 5);
  await session.close();
  assert.equal(await session.closed, null);
  await assert.rejects(session.sendFrame(frames[0]), { code: 'closed' });
  assert.deepEqual(bridge.closes, [1000]);

  assert.deepEqual([29.97, 59.94, 23.976, 50, 12.5, '60'].map(parseFrameRate),
    [[30000, 1001], [60000, 1001], [24000, 1001], [50, 1], [12500, 1000], [60, 1]]);
  for (const bad of ['fast', -1, 0, NaN]) assert.throws(() => parseFrameRate(bad), { code: 'bad_options' });
  await assert.rejects(connect({ ...HELLO, port: bridge.port, token: TOKEN, format: 'NV12' }), { code: 'bad_options' });
  await assert.rejects(connect({ ...HELLO, port: bridge.port, token: TOKEN, whenBusy: 'queue' }), { code: 'bad_options' });
});

test('every refusal is an error with the bridge\'s id, close code and message', async (t) => {
  const refusals = [[1008, 'bad_token'], [1013, 'busy'], [1008, 'bad_hello'], [1007, 'bad_hello'],
    [1011, 'runtime_unavailable'], [1008, 'timeout'], [1008, 'too_much_output'], [1002, 'protocol_error']];
  let next = 0;
  const bridge = await fakeBridge(t, (socket) => {
    if (next < refusals.length) {
      const [code, error] = refusals[next++];
      refuse(socket, code, error, `refused as ${error}`);
    } else {
      refuse(socket, 1001, null, 'the bridge is shutting down');
    }
  });
  const options = { ...HELLO, port: bridge.port, token: TOKEN };
  for (const [closeCode, code] of refusals) {
    await assert.rejects(connect(options), { name: 'BridgeError', code, closeCode, message: `refused as ${code}` });
  }
  await assert.rejects(connect(options), { code: 'shutting_down', closeCode: 1001, message: 'the bridge is shutting down' });

  // A refused origin: `ws` names the HTTP status, a browser only sees the socket fail.
  class ForeignPage extends WebSocket {
    constructor(url) {
      super(url, { origin: 'http://elsewhere.test' });
    }
  }
  await assert.rejects(connect({ ...options, WebSocket: ForeignPage }), { code: 'origin_refused', message: /HTTP 403/ });
  class FailingSocket {
    constructor() {
      setTimeout(() => this.onerror({ type: 'error' }));
    }
    close() {}
  }
  await assert.rejects(connect({ ...options, WebSocket: FailingSocket }), { code: 'origin_refused', message: /KESTOVAR_BRIDGE_ORIGINS/ });
  await assert.rejects(connect({ ...options, WebSocket: FailingSocket, port: await freePort() }), { code: 'bridge_unreachable' });
  await assert.rejects(connect({ ...options, port: await freePort() }), { code: 'bridge_unreachable' });
});

test('a refusal during the session ends it with that error', async (t) => {
  const bridge = await fakeBridge(t);
  const session = await connect({ ...HELLO, port: bridge.port, token: TOKEN });
  refuse(bridge.sockets[0], 1008, 'wrong_frame_size', 'wrong frame size: a frame is 129 bytes');
  const ended = await session.closed;
  assert.deepEqual([ended.code, ended.closeCode, ended.message], ['wrong_frame_size', 1008, 'wrong frame size: a frame is 129 bytes']);
  assert.equal(session.live, false);
  await assert.rejects(session.sendFrame(new Uint8Array(128)), ended);
  await assert.rejects(session.stats(), ended);
});

// Frames of 1 MiB, each filled with its number, to a bridge that has stopped reading.
const bigFrame = (n) => new Uint8Array(512 * 512 * 4).fill(n & 0xff);

async function stalledSession(t, whenBusy) {
  const bridge = await fakeBridge(t, (socket, hello) => {
    answerReady(socket, hello);
    socket.pause();
  });
  const session = await connect({ source: 'big', width: 512, height: 512, port: bridge.port, token: TOKEN, whenBusy });
  return { bridge, session, resume: () => bridge.sockets[0].resume() };
}

test('back-pressure, dropping: frames are dropped once two are buffered, the rest arrive', async (t) => {
  const { bridge, session, resume } = await stalledSession(t, 'drop');
  const kept = [];
  for (let n = 0; n < 100; n++) if (await session.sendFrame(bigFrame(n))) kept.push(n);
  assert.ok(session.dropped > 0, 'a bridge that does not read makes frames drop');
  assert.deepEqual([session.dropped + kept.length, session.sent], [100, kept.length]);
  resume();
  await session.stats();
  assert.deepEqual(bridge.frames.map((f) => f[0]), kept);
});

test('back-pressure, waiting: one frame waits for room, a second call is refused, none lost', async (t) => {
  const { bridge, session, resume } = await stalledSession(t, 'wait');
  let waiting = null;
  let n = 0;
  while (!waiting && n < 100) {
    let done = false;
    const sending = session.sendFrame(bigFrame(n++)).then((sent) => { done = true; return sent; });
    await new Promise((resolve) => setTimeout(resolve, 50));
    if (!done) waiting = sending;
  }
  assert.ok(waiting, 'a bridge that does not read makes sendFrame wait');
  await assert.rejects(session.sendFrame(bigFrame(0)), { code: 'send_in_progress' });
  resume();
  assert.equal(await waiting, true);
  await session.stats();
  assert.ok(bridge.frames.length === n && bridge.frames.every((f, i) => f.equals(bigFrame(i))), 'every frame, in order');
  assert.equal(session.dropped, 0);
});

test('a bridge that never answers ends in a timeout, not a hang', async (t) => {
  const silent = net.createServer((socket) => socket.on('data', () => {})).listen(0, '127.0.0.1');
  await once(silent, 'listening');
  t.after(() => { silent.close(); });
  const mute = await fakeBridge(t, () => {});
  for (const port of [silent.address().port, mute.port]) {
    await assert.rejects(connect({ ...HELLO, port, token: TOKEN, timeoutMs: 300 }),
      { code: 'connect_timeout', message: /did not answer within 300 ms/ });
  }
});

test('port and token from the state file; stopping the bridge', async (t) => {
  const stopped = [];
  const bridge = await fakeBridge(t, (socket, message) => {
    if (message.type === 'hello') return answerReady(socket, message);
    if (message.token !== TOKEN) return refuse(socket, 1008, 'bad_token', 'wrong token');
    stopped.push(message);
    socket.close(1000);
  });
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-state-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const saved = process.env.KESTOVAR_BRIDGE_STATE_DIR;
  process.env.KESTOVAR_BRIDGE_STATE_DIR = dir;
  t.after(() => { process.env.KESTOVAR_BRIDGE_STATE_DIR = saved ?? ''; });
  const file = path.join(dir, 'bridge.json');

  await assert.rejects(connect(HELLO), { code: 'no_state_file', message: new RegExp(`not running \\(no ${file}\\)`) });
  fs.writeFileSync(file, '{"port": 17480, "tok');
  await assert.rejects(cjs.connect(HELLO), { code: 'bad_state_file' });
  fs.writeFileSync(file, JSON.stringify({ port: bridge.port, pid: 1, token: TOKEN, started: new Date().toISOString() }));
  const session = await cjs.connect(HELLO);
  assert.equal(bridge.firsts[0].token, TOKEN);
  await session.close();

  await cjs.stopBridge();
  assert.deepEqual(stopped, [{ type: 'shutdown', token: TOKEN }]);
  await assert.rejects(cjs.stopBridge({ token: 'cd'.repeat(32) }), { code: 'bad_token', message: 'wrong token' });
});

// Client frames as they cross the wire: [fin+opcode, length, key, payload unmasked].
function clientFrames(bytes) {
  const frames = [];
  for (let at = 0; at < bytes.length;) {
    let length = bytes[at + 1] & 0x7f;
    let key = at + 2;
    if (length === 126) [length, key] = [bytes.readUInt16BE(at + 2), at + 4];
    else if (length === 127) [length, key] = [Number(bytes.readBigUInt64BE(at + 2)), at + 10];
    const mask = bytes.subarray(key, key + 4);
    const payload = Buffer.from(bytes.subarray(key + 4, key + 4 + length)).map((b, i) => b ^ mask[i & 3]);
    frames.push({ head: [bytes[at], bytes[at + 1] & 0x80], key: mask.toString('hex'), payload });
    at = key + 4 + length;
  }
  return frames;
}

test('frames the library writes itself: every header size, odd offsets, a fresh key each, native and plain masking', async (t) => {
  const { frameWriter } = await import('../../client/node-frames.mjs');
  process.env.WS_NO_BUFFER_UTIL = '1';
  t.after(() => { delete process.env.WS_NO_BUFFER_UTIL; });
  const plain = await import('../../client/node-frames.mjs?without-bufferutil');
  for (const makeWriter of [frameWriter, plain.frameWriter]) {
    const server = net.createServer().listen(0, '127.0.0.1');
    await once(server, 'listening');
    const client = net.connect(server.address().port, '127.0.0.1');
    const [accepted] = await once(server, 'connection');
    t.after(() => { client.destroy(); accepted.destroy(); server.close(); });
    const chunks = [];
    accepted.on('data', (d) => chunks.push(d));
    const ws = { _socket: client, extensions: '', readyState: 1, OPEN: 1 };
    const sources = [];
    let written = 0;
    for (const size of [100, 1000, 70001]) {
      const write = makeWriter(ws, size, () => written++);
      for (let n = 1; n <= 3; n++) {
        const backing = new Uint8Array(size + n);
        for (let i = 0; i < backing.length; i++) backing[i] = (i * 7 + n * 31 + size) & 0xff;
        const source = backing.subarray(n, n + size); // offsets 1, 2, 3: unaligned
        assert.equal(write(source), true);
        sources.push(Buffer.from(source));
      }
    }
    await new Promise((resolve) => client.end(resolve));
    await once(accepted, 'end');
    const frames = clientFrames(Buffer.concat(chunks));
    assert.deepEqual(frames.map((f) => f.head), sources.map(() => [0x82, 0x80]));
    assert.ok(frames.every((f, i) => f.payload.equals(sources[i])), 'every payload byte-exact');
    assert.equal(new Set(frames.map((f) => f.key)).size, frames.length, 'a fresh key for every frame');
    assert.equal(written, frames.length);
    ws.readyState = 3;
    assert.equal(makeWriter(ws, 100), null, 'only an open socket');
  }
});
