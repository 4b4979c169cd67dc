'use strict';
// Clients of the bridge for the tests and the benchmarks: the pinned `ws` (connect,
// openSession), and a raw one that writes whatever bytes a test wants (rawConnect,
// maskedFrame), malformed on purpose included.
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const crypto = require('node:crypto');
const WebSocket = require('ws');

// One client frame with a mask, as raw bytes; options override the header bits.
function maskedFrame(opcode, payload, { fin = true, rsv = 0, mask = crypto.randomBytes(4), masked = true, length } = {}) {
  const len = length === undefined ? payload.length : length;
  let header;
  if (len < 126) {
    header = Buffer.from([0, len]);
  } else if (len < 0x10000) {
    header = Buffer.alloc(4);
    header[1] = 126;
    header.writeUInt16BE(len, 2);
  } else {
    header = Buffer.alloc(10);
    header[1] = 127;
    header.writeBigUInt64BE(BigInt(len), 2);
  }
  header[0] = (fin ? 0x80 : 0) | (rsv << 4) | opcode;
  if (!masked) return Buffer.concat([header, payload]);
  header[1] |= 0x80;
  const body = Buffer.from(payload);
  for (let i = 0; i < body.length; i++) body[i] ^= mask[i & 3];
  return Buffer.concat([header, mask, body]);
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

// A `ws` client that records everything it gets. done resolves with { code, reason }.
function connect(port, options = {}) {
  const socket = new WebSocket(`ws://127.0.0.1:${port}/`, options);
  const messages = [];
  let waiters = [];
  socket.on('message', (data, isBinary) => {
    messages.push(isBinary ? data : JSON.parse(data.toString()));
    waiters = waiters.filter((w) => !w());
  });
  const opened = new Promise((resolve, reject) => {
    socket.once('open', resolve);
    socket.once('error', reject);
  });
  const done = new Promise((resolve) => {
    socket.on('error', () => {});
    socket.once('close', (code, reason) => resolve({ code, reason: reason.toString() }));
  });
  function nextMessage(predicate = () => true, timeoutMs = 30000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('no matching message in time')), timeoutMs);
      const check = () => {
        const found = messages.find(predicate);
        if (!found) return false;
        clearTimeout(timer);
        resolve(found);
        return true;
      };
      if (!check()) waiters.push(check);
    });
  }
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
  const waiters = new Set();
  const poke = () => { for (const w of [...waiters]) w(); };
  socket.on('data', (d) => { received = Buffer.concat([received, d]); poke(); });
  socket.on('close', () => { ended = true; poke(); });
  socket.on('error', () => {});
  await new Promise((resolve, reject) => { socket.once('connect', resolve); socket.once('error', reject); });
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
  const client = {
    socket,
    write: (bytes) => new Promise((resolve) => socket.write(bytes, () => resolve())),
    text: () => received.toString('latin1'),
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
    client.accept = crypto.createHash('sha1').update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
  }
  return client;
}

// Splits what a server sent into its HTTP head and its frames.
function parseServerStream(bytes) {
  const end = bytes.indexOf('\r\n\r\n');
  const head = end < 0 ? bytes.toString('latin1') : bytes.subarray(0, end).toString('latin1');
  const frames = [];
  let pos = end < 0 ? bytes.length : end + 4;
  while (pos + 2 <= bytes.length) {
    const opcode = bytes[pos] & 0x0f;
    let len = bytes[pos + 1] & 0x7f;
    let at = pos + 2;
    if (len === 126) { len = bytes.readUInt16BE(at); at += 2; } else if (len === 127) { len = Number(bytes.readBigUInt64BE(at)); at += 8; }
    if (at + len > bytes.length) break;
    const payload = bytes.subarray(at, at + len);
    const frame = { opcode, payload };
    if (opcode === 8 && len >= 2) { frame.code = payload.readUInt16BE(0); frame.reason = payload.subarray(2).toString('utf8'); }
    if (opcode === 1) frame.json = JSON.parse(payload.toString('utf8'));
    frames.push(frame);
    pos = at + len;
  }
  return { head, status: Number((/^HTTP\/1\.1 (\d+)/.exec(head) || [])[1]), frames, body: end < 0 ? '' : bytes.subarray(end + 4).toString('latin1') };
}

module.exports = { maskedFrame, adoptState, tokens, connect, openSession, rawConnect, parseServerStream };
