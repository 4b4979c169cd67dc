'use strict';
// Clients of the bridge for the tests and the benchmarks: the pinned `ws` (connect,
// openSession), and a raw one that writes whatever bytes a test wants (rawConnect,
// maskedFrame), malformed on purpose included.
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const crypto = require('node:crypto');
const WebSocket = require('ws');
const { parseClosePayload, parseFrames } = require('../../app/src/frame-parser');
const { encodeFrame } = require('../../app/src/frame-writer');

// One client frame, masked with a fresh key unless mask says otherwise (encodeFrame's
// options: mask, fin, rsv).
function maskedFrame(opcode, payload, options) {
  return encodeFrame(opcode, payload, { mask: true, ...options });
}

// The token of the bridge on each port, from its state file: openSession puts it in
// every hello that does not bring its own.
const tokens = new Map();

// Reads a bridge's state file and remembers its token; returns the state.
function adoptState(stateDir) {
  const state = JSON.parse(fs.readFileSync(path.join(stateDir, 'bridge.json'), 'utf8'));
  tokens.set(state.port, state.token);
  return state;
}

// Resolves with the first value of test() that is not undefined, asked again at every
// poke(); rejects after timeoutMs.
function waiting() {
  const waiters = new Set();
  const poke = () => { for (const w of [...waiters]) w(); };
  const until = (what, test, timeoutMs = 30000) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => { waiters.delete(check); reject(new Error(`timed out waiting for ${what}`)); }, timeoutMs);
    function check() {
      const value = test();
      if (value === undefined) return;
      clearTimeout(timer);
      waiters.delete(check);
      resolve(value);
    }
    waiters.add(check);
    check();
  });
  return { poke, until };
}

// A `ws` client that records everything it gets. done resolves with { code, reason }.
function connect(port, options = {}) {
  const socket = new WebSocket(`ws://127.0.0.1:${port}/`, options);
  const messages = [];
  const { poke, until } = waiting();
  socket.on('message', (data, isBinary) => {
    messages.push(isBinary ? data : JSON.parse(data.toString()));
    poke();
  });
  const opened = new Promise((resolve, reject) => {
    socket.once('open', resolve);
    socket.once('error', reject);
  });
  const done = new Promise((resolve) => {
    socket.on('error', () => {});
    socket.once('close', (code, reason) => resolve({ code, reason: reason.toString() }));
  });
  const nextMessage = (predicate = () => true, timeoutMs = 30000) => until('a matching message', () => messages.find(predicate), timeoutMs);
  function send(data, opts = {}) {
    return new Promise((resolve, reject) => socket.send(data, opts, (e) => (e ? reject(e) : resolve())));
  }
  return { socket, messages, opened, done, nextMessage, send };
}

// Opens a session: hello (with the bridge's token unless it brings one), then waits for
// "ready".
async function openSession(port, hello, options = {}) {
  const client = connect(port, options);
  await client.opened;
  await client.send(JSON.stringify({ token: tokens.get(port), ...hello }));
  const ready = await client.nextMessage((m) => m.type === 'ready' || m.type === 'error');
  if (ready.type !== 'ready') throw new Error(`session refused: ${ready.message}`);
  return { ...client, ready };
}

// A raw TCP client: does the handshake, then writes exactly what it is given and parses
// what the server sends (unmasked frames), so malformed input can be sent on purpose.
async function rawConnect(port, { handshake = true, request } = {}) {
  const socket = net.connect(port, '127.0.0.1');
  socket.setNoDelay(true);
  let received = Buffer.alloc(0);
  let ended = false;
  const { poke, until } = waiting();
  socket.on('data', (d) => { received = Buffer.concat([received, d]); poke(); });
  socket.on('close', () => { ended = true; poke(); });
  socket.on('error', () => {});
  await new Promise((resolve, reject) => { socket.once('connect', resolve); socket.once('error', reject); });
  const client = {
    socket,
    write: (bytes) => new Promise((resolve) => socket.write(bytes, () => resolve())),
    text: () => received.toString('latin1'),
    // The server's JSON text messages so far.
    messages: () => parseServerStream(received).frames.filter((f) => f.json).map((f) => f.json),
    ended: () => ended,
    // Everything the server said until it closed: the HTTP head and the frames after it.
    async closed(timeoutMs) {
      await until('the server to close', () => (ended ? true : undefined), timeoutMs);
      return parseServerStream(received);
    },
    until,
  };
  if (handshake) {
    const key = crypto.randomBytes(16).toString('base64');
    await client.write(request || `GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\n` +
      `Connection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
    // Worked out here, not by the bridge's own function, so that the test can tell.
    client.accept = crypto.createHash('sha1').update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
  }
  return client;
}

// Sends {"type": type} over a raw client and resolves with the count-th stats answer (from 0).
async function request(client, type, count) {
  await client.write(maskedFrame(1, Buffer.from(JSON.stringify({ type }))));
  return client.until(type, () => client.messages().filter((m) => m.type === 'stats')[count], 120000);
}

// Splits what a server sent into its HTTP head and its frames (parseFrames'), a close
// frame's code and reason and a text frame's JSON read out.
function parseServerStream(bytes) {
  const end = bytes.indexOf('\r\n\r\n');
  const head = end < 0 ? bytes.toString('latin1') : bytes.subarray(0, end).toString('latin1');
  const { frames } = parseFrames(end < 0 ? Buffer.alloc(0) : bytes.subarray(end + 4));
  for (const frame of frames) {
    if (frame.opcode === 8 && frame.payload.length >= 2) Object.assign(frame, parseClosePayload(frame.payload));
    if (frame.opcode === 1) frame.json = JSON.parse(frame.payload.toString('utf8'));
  }
  return { head, status: Number((/^HTTP\/1\.1 (\d+)/.exec(head) || [])[1]), frames, body: end < 0 ? '' : bytes.subarray(end + 4).toString('latin1') };
}

// A port on the loopback that nothing listens on (it was free a moment ago).
async function freePort() {
  const server = net.createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => server.once('listening', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

module.exports = { freePort, maskedFrame, request, adoptState, tokens, connect, openSession, rawConnect, parseServerStream };
