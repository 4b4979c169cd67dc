// The client library against the bridge itself on the rig's fake addon (hello, frames,
// stats, the state file, the stop request), and against a fake bridge (the `ws` server)
// where one must misbehave or refuse on cue: every refusal, back-pressure, the timeout,
// an impostor and reconnecting.
import test from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { once } from 'node:events';
import { createRequire } from 'node:module';
import WebSocket, { WebSocketServer } from 'ws';
import { connect, checkHello, parseFrameRate } from '../../client/index.mjs';
import { toRgba } from '../../client/publish.mjs';

const require = createRequire(import.meta.url);
const cjs = require('../../client/index.cjs');
const { parseFrames } = require('../../app/src/frame-parser.js');
const log = require('../../app/src/log.js');
const EXIT = require('../../app/src/exit-codes.js');
const { startFakeBridge } = require('../rig/fake-addon.js');
const { bridgeRecords, readText } = require('../rig/logs.js');
const { freePort } = require('../rig/clients.js');

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-client-'));
test.after(() => fs.rmSync(work, { recursive: true, force: true }));
const logFile = path.join(work, 'bridge.log');
log.logTo(fs.openSync(logFile, 'a'));
const records = (event) => bridgeRecords(readText(logFile)).filter((r) => r.event === event);
// The bridge itself on the rig's fake addon.
const realBridge = (t, stateDir = fs.mkdtempSync(path.join(work, 'state-'))) =>
  startFakeBridge(t, { KESTOVAR_BRIDGE_STATE_DIR: stateDir });

const TOKEN = 'ab'.repeat(32);
const HELLO = { source: 'Test source ✓', width: 8, height: 4, fps: 25 };

const hmac = (token, label, nonce) => crypto.createHmac('sha256', token).update(label + nonce).digest('hex');
// A proof covers its message's type.
const provesToken = (message, token = TOKEN) => /^[0-9a-f]{32}$/.test(message.nonce) &&
  message.proof === hmac(token, `kestovar-${message.type}:`, message.nonce) && message.token === undefined;

// The bridge's answer to a hello that proves its token, with its own proof.
function answerReady(socket, hello, bridge, token = TOKEN) {
  if (!provesToken(hello, token)) return refuse(socket, 1008, 'bad_token', 'wrong token');
  const { nonce, proof, ...settings } = hello;
  socket.send(JSON.stringify({ ...settings, type: 'ready', frameBytes: hello.width * hello.height * 4,
    proof: hmac(token, 'kestovar-ready:', nonce) }));
}

function refuse(socket, code, error, message) {
  if (code !== 1001) socket.send(JSON.stringify({ type: 'error', code, error, message }));
  socket.close(code, message);
}

// A fake bridge: records what it gets, answers stats, and answers the first text with
// onFirst.
async function fakeBridge(t, onFirst = answerReady) {
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await once(server, 'listening');
  const stop = () => new Promise((resolve) => {
    for (const client of server.clients) client.terminate();
    server.close(resolve);
  });
  t.after(stop);
  const bridge = { port: server.address().port, firsts: [], frames: [], closes: [], sockets: [], stop };
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

test('hello, ready, frames of every kind byte-exact, stats and close', async (t) => {
  const bridge = await realBridge(t);
  const connected = records('client_connected').length;
  const session = await connect({ ...HELLO, fps: '30000/1001', port: bridge.port, token: bridge.token });
  assert.deepEqual(bridge.ndi.calls, [['start', HELLO.source, 8, 4, 30000, 1001, 'RGBA']]);
  assert.equal(session.frameBytes, 128);
  assert.equal(session.statusPage, `http://127.0.0.1:${bridge.port}/`);
  const frames = [new Uint8Array(128).fill(1), new Uint8ClampedArray(128).fill(2),
    new Uint8Array(128).fill(3).buffer, Buffer.alloc(128, 4), new Uint8Array(256).fill(5).subarray(64, 192)];
  for (const frame of frames) assert.equal(await session.sendFrame(frame), true);
  await assert.rejects(session.sendFrame(new Uint8Array(127)), { code: 'wrong_frame_size', message: /a frame is 128 bytes, this one is 127/ });
  await assert.rejects(session.sendFrame(new Float32Array(32)), { code: 'bad_options' });
  assert.equal((await session.stats()).frames, 5);
  assert.deepEqual(bridge.ndi.frames, [1, 2, 3, 4, 5].map((n) => crypto.createHash('sha1').update(Buffer.alloc(128, n)).digest('hex')));
  assert.equal(session.sent, 5);
  await session.close();
  assert.equal(await session.closed, null);
  await assert.rejects(session.sendFrame(frames[0]), { code: 'closed' });
  assert.equal(records('client_close').at(-1).code, '1000');

  assert.deepEqual([29.97, 59.94, 23.976, 50, 12.5, '60'].map(parseFrameRate),
    [[30000, 1001], [60000, 1001], [24000, 1001], [50, 1], [12500, 1000], [60, 1]]);
  for (const bad of ['fast', -1, 0, NaN]) assert.throws(() => parseFrameRate(bad), { code: 'bad_options' });
  const options = { ...HELLO, port: bridge.port, token: bridge.token };
  await assert.rejects(connect({ ...options, format: 'NV12' }), { code: 'bad_options' });
  await assert.rejects(connect({ ...options, whenBusy: 'queue' }), { code: 'bad_options' });
  await assert.rejects(connect({ ...options, reconnect: 'yes' }), { code: 'bad_options' });
  await assert.rejects(connect({ ...options, width: 7, format: 'UYVY' }), { code: 'bad_options', message: 'UYVY frames need an even width' });
  assert.equal(records('client_connected').length, connected + 1, 'bad options never reach the bridge');
});

test('a program on the port that cannot prove the token is not the bridge', async (t) => {
  const impostor = await fakeBridge(t, (socket, hello) => {
    socket.send(JSON.stringify({ type: 'ready', frameBytes: hello.width * hello.height * 4, proof: '0'.repeat(64) }));
  });
  await assert.rejects(connect({ ...HELLO, port: impostor.port, token: TOKEN }),
    { code: 'unverified_bridge', message: /could not prove it is the bridge/ });
  await once(impostor.sockets[0], 'close');
  assert.equal(impostor.frames.length, 0);
  assert.equal(impostor.firsts[0].token, undefined);
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
  const real = await realBridge(t);
  Object.assign(options, { port: real.port, token: real.token });
  class ForeignPage extends WebSocket {
    constructor(url) {
      super(url, { origin: 'http://elsewhere.test' });
    }
  }
  await assert.rejects(connect({ ...options, WebSocket: ForeignPage }), { code: 'origin_refused', message: /HTTP 403/ });
  class FailingSocket {
    constructor(url, error = undefined) {
      setTimeout(() => this.onerror({ type: 'error', error }));
    }
    close() {}
  }
  await assert.rejects(connect({ ...options, WebSocket: FailingSocket }), { code: 'origin_refused', message: /KESTOVAR_BRIDGE_ORIGINS/ });
  // Refused, while a bridge coming back starts to answer the port: unreachable, retried.
  const Refused = class extends FailingSocket { constructor(url) { super(url, { code: 'ECONNREFUSED' }); } };
  await assert.rejects(connect({ ...options, WebSocket: Refused }), { code: 'bridge_unreachable' });
  await assert.rejects(connect({ ...options, WebSocket: FailingSocket, port: await freePort() }), { code: 'bridge_unreachable' });
  await assert.rejects(connect({ ...options, port: await freePort() }), { code: 'bridge_unreachable' });

  // A refusal during the session ends it with that error.
  const during = await fakeBridge(t);
  const session = await connect({ ...HELLO, port: during.port, token: TOKEN });
  refuse(during.sockets[0], 1008, 'wrong_frame_size', 'wrong frame size: a frame is 129 bytes');
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
  const dir = fs.mkdtempSync(path.join(work, 'state-'));
  const saved = process.env.KESTOVAR_BRIDGE_STATE_DIR;
  process.env.KESTOVAR_BRIDGE_STATE_DIR = dir;
  t.after(() => { process.env.KESTOVAR_BRIDGE_STATE_DIR = saved ?? ''; });
  const file = path.join(dir, 'bridge.json');

  await assert.rejects(connect(HELLO), { code: 'no_state_file', message: new RegExp(`not running \\(no ${file}\\)`) });
  fs.writeFileSync(file, '{"port": 17480, "tok');
  // From CommonJS, the same class: instanceof holds.
  await assert.rejects(cjs.connect(HELLO), (error) => error instanceof cjs.BridgeError && error.code === 'bad_state_file');
  assert.equal(cjs.checkHello(HELLO), checkHello(HELLO));
  fs.rmSync(file);
  const { bridge, ndi } = await realBridge(t, dir);
  const session = await cjs.connect(HELLO);
  assert.equal((await session.stats()).frames, 0);
  await session.close();
  assert.equal(ndi.calls[0][1], HELLO.source);

  await assert.rejects(cjs.stopBridge({ token: 'cd'.repeat(32) }), { code: 'bad_token', message: /^bad token/ });
  await cjs.stopBridge();
  assert.deepEqual(await bridge.closed, { exitCode: EXIT.STOPPED });
  assert.equal(records('shutdown').at(-1).reason, 'request');
  assert.ok(!fs.existsSync(file), 'the bridge took its state file with it');
});

test('reconnect: frames drop while the bridge is away, a restarted bridge is found again', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-state-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const stateFile = path.join(dir, 'bridge.json');
  const writeState = (port, token) => fs.writeFileSync(stateFile, JSON.stringify({ port, pid: 1, token, started: '' }));
  const frame = new Uint8Array(128).fill(7);

  // No bridge yet: connect resolves, and keeps trying.
  const session = await connect({ ...HELLO, stateFile, reconnect: { minDelayMs: 20, maxDelayMs: 80 } });
  t.after(() => session.close());
  const events = [];
  const connected = () => new Promise((resolve) => session.on('state', function onState({ state }) {
    if (state === 'connected') resolve(session.off('state', onState));
  }));
  session.on('state', ({ state, error, attempt, delayMs }) => events.push([state, error?.code, attempt, delayMs]));
  assert.equal(session.state, 'reconnecting');
  assert.equal(await session.sendFrame(frame), false);

  const first = await fakeBridge(t);
  writeState(first.port, TOKEN);
  await connected();
  assert.deepEqual([await session.sendFrame(frame), session.live, session.statusPage], [true, true, `http://127.0.0.1:${first.port}/`]);
  await session.stats();

  // The bridge stops; another starts on another port with another token.
  events.length = 0;
  refuse(first.sockets[0], 1001, null, 'the bridge is shutting down');
  await first.stop();
  await new Promise((resolve) => session.on('state', ({ attempt }) => attempt === 4 && resolve()));
  assert.equal(await session.sendFrame(frame), false);
  const token = 'cd'.repeat(32);
  const second = await fakeBridge(t, (socket, hello) => answerReady(socket, hello, second, token));
  writeState(second.port, token);
  await connected();
  assert.equal(await session.sendFrame(frame), true);
  await session.stats();
  assert.ok(provesToken(second.firsts[0], token));
  assert.deepEqual(events.slice(0, 5), [['disconnected', 'shutting_down', undefined, undefined],
    ['reconnecting', 'shutting_down', 1, 20], ['reconnecting', 'bridge_unreachable', 2, 40],
    ['reconnecting', 'bridge_unreachable', 3, 80], ['reconnecting', 'bridge_unreachable', 4, 80]]);
  assert.deepEqual(events.at(-1), ['connected', undefined, undefined, undefined]);
  assert.deepEqual([session.sent, session.dropped, first.frames.length, second.frames.length], [2, 2, 1, 1]);

  // A refusal no attempt can overcome ends it for good.
  refuse(second.sockets[0], 1008, 'bad_hello', 'bad hello: no');
  assert.equal((await session.closed).code, 'bad_hello');
  assert.deepEqual(events.slice(-2).map((e) => e.slice(0, 2)), [['disconnected', 'bad_hello'], ['closed', 'bad_hello']]);
  await assert.rejects(session.sendFrame(frame), { code: 'bad_hello' });
  await session.close();
});

test('in a page: crypto.subtle makes the same proofs; without it, the token itself', async (t) => {
  const bridge = await fakeBridge(t, (socket, hello) => (hello.token === TOKEN
    ? socket.send(JSON.stringify({ type: 'ready', frameBytes: 128 })) : answerReady(socket, hello)));
  // A page: a `window`, the platform's crypto, and `ws` standing in for its WebSocket.
  const saved = Object.getOwnPropertyDescriptor(globalThis, 'crypto');
  const { crypto: platform } = globalThis;
  globalThis.window = globalThis;
  t.after(() => {
    delete globalThis.window;
    Object.defineProperty(globalThis, 'crypto', saved);
  });
  const page = { ...HELLO, port: bridge.port, token: TOKEN, WebSocket };
  await (await connect(page)).close();
  assert.ok(provesToken(bridge.firsts[0]), 'crypto.subtle');
  Object.defineProperty(globalThis, 'crypto', { value: { getRandomValues: (bytes) => platform.getRandomValues(bytes) }, configurable: true });
  await (await connect(page)).close();
  assert.deepEqual([bridge.firsts[1].token, bridge.firsts[1].nonce], [TOKEN, undefined], 'no crypto.subtle (not a secure context)');
});

test('a captured frame made RGBA: BGR swapped, an undefined alpha made opaque', () => {
  const made = (format) => {
    const pixels = new Uint8Array(64).subarray(8, 16);
    pixels.set([1, 2, 3, 4, 5, 6, 7, 8]);
    toRgba(pixels, format);
    return [...pixels];
  };
  assert.deepEqual(['RGBA', 'RGBX', 'BGRA', 'BGRX'].map(made), [[1, 2, 3, 4, 5, 6, 7, 8], [1, 2, 3, 255, 5, 6, 7, 255],
    [3, 2, 1, 4, 7, 6, 5, 8], [3, 2, 1, 255, 7, 6, 5, 255]]);
});

test('reconnect with locate(): a page asks its server again for the port and token', async (t) => {
  let where = null;
  const locate = async () => where ?? Promise.reject(new Error('HTTP 503'));
  const session = await connect({ ...HELLO, locate, reconnect: { minDelayMs: 20, maxDelayMs: 40 } });
  t.after(() => session.close());
  assert.equal(session.state, 'reconnecting');
  const bridge = await realBridge(t);
  where = { port: bridge.port, token: bridge.token };
  await new Promise((resolve) => session.on('state', ({ state }) => state === 'connected' && resolve()));
  assert.equal(await session.sendFrame(new Uint8Array(128)), true);
  assert.equal((await session.stats()).frames, 1);
  where = null;
  await assert.rejects(connect({ ...HELLO, locate }), { code: 'no_state_file', message: 'locate() found no bridge: HTTP 503' });
});

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
    const { frames, rest } = parseFrames(Buffer.concat(chunks));
    assert.deepEqual(frames.map((f) => [f.fin, f.rsv, f.opcode, f.mask?.length]), sources.map(() => [true, 0, 2, 4]));
    assert.equal(rest.length, 0);
    assert.ok(frames.every((f, i) => f.payload.equals(sources[i])), 'every payload byte-exact');
    assert.equal(new Set(frames.map((f) => f.mask.toString('hex'))).size, frames.length, 'a fresh key for every frame');
    assert.equal(written, frames.length);
    ws.readyState = 3;
    assert.equal(makeWriter(ws, 100), null, 'only an open socket');
  }
});
