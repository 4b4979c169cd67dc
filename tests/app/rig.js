'use strict';
// What the app tests share, run in the Linux node: the installed tree staged by the
// app_stage fixture, the Wine prefix's registry value, the bridge runtime started under
// Wine on the real server script, and WebSocket clients (the pinned `ws`, and a raw one
// that writes whatever bytes a test wants).
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawn, execFileSync } = require('node:child_process');
const WebSocket = require('ws');

const BUILD_DIR = process.env.KESTOVAR_BUILD_DIR;
const SOURCE_DIR = process.env.KESTOVAR_SOURCE_DIR;
const PREFIX = process.env.KESTOVAR_WINE_PREFIX;
const WINE_EXEC = path.join(SOURCE_DIR, 'tests', 'rig', 'wine-exec');
const STAGE_DIR = path.join(BUILD_DIR, 'tests', 'app', 'stage');
const REG_KEY = 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment';

// The stand-in log parser and FNV-1a 64 of the addon tests, shared.
const standin = require(path.join(SOURCE_DIR, 'tests', 'addon', 'standin-log.js'));
const { sleep, waitFor } = require('../rig/wait.js');
const { maskedFrame } = require('./frames');

function windowsPath(unixPath) {
  return 'Z:' + path.resolve(unixPath).replace(/\//g, '\\');
}

// Wine maps Unix file names through the locale; non-ASCII paths need a UTF-8 one.
function wineEnv(extra = {}) {
  return { ...process.env, LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8', ...extra };
}

function wine(args, extra = {}) {
  return execFileSync(WINE_EXEC, [PREFIX, ...args], { env: wineEnv(extra), stdio: ['ignore', 'pipe', 'pipe'] });
}

// Points the machine value NDI_RUNTIME_DIR_V6 at a directory, or removes it (null).
function setNdiRuntimeDir(unixDir) {
  if (unixDir === null) {
    try {
      wine(['reg', 'delete', REG_KEY, '/v', 'NDI_RUNTIME_DIR_V6', '/f']);
    } catch {
      // already absent
    }
  } else {
    wine(['reg', 'add', REG_KEY, '/v', 'NDI_RUNTIME_DIR_V6', '/t', 'REG_SZ', '/d', windowsPath(unixDir), '/f']);
  }
}

// The files under dir, as sorted relative paths.
function listFiles(dir, base = dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((e) => {
    const full = path.join(dir, e.name);
    return e.isDirectory() ? listFiles(full, base) : [path.relative(base, full)];
  }).sort();
}

function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8');
  } catch (e) {
    if (e.code === 'ENOENT') return '';
    throw e;
  }
}

// The bridge's records: "[time] bridge pid=N event key=value ..." -> { pid, event, ... }.
function bridgeRecords(text) {
  const records = [];
  for (const line of text.split(/\r?\n/)) {
    const m = /^\[[0-9T:-]{19}\] bridge pid=(\d+) ([a-z_]+)(.*)$/.exec(line);
    if (!m) continue;
    const record = { pid: Number(m[1]), event: m[2] };
    for (const f of m[3].matchAll(/ ([a-z_]+)=("(?:[^"\\]|\\.)*"|\S*)/g)) {
      record[f[1]] = f[2].startsWith('"') ? JSON.parse(f[2]) : f[2];
    }
    records.push(record);
  }
  return records;
}

// The Unix process id of a Wine process whose command line holds `marker`.
function findWineProcess(marker) {
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const cmdline = fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8');
      if (cmdline.includes(marker) && cmdline.includes('kestovar-ndi-bridge.exe')) return Number(entry);
    } catch {
      // gone meanwhile
    }
  }
  return 0;
}

function processAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

// Asks a bridge to end the way a console's Ctrl+C does (Wine turns SIGINT into it) and
// waits until it is gone; kills it if it does not go.
async function stopBridgeProcess(pid) {
  if (!pid || !processAlive(pid)) return false;
  process.kill(pid, 'SIGINT');
  try {
    await waitFor('the bridge to exit', () => !processAlive(pid), 15000);
    return true;
  } catch {
    process.kill(pid, 'SIGKILL');
    return false;
  }
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

// Starts the installed bridge runtime on the installed server script, as the launcher
// does (app as current directory), with standard output in a log file and its state file
// in dir/state.
async function startBridge({ dir, env = {}, root = STAGE_DIR }) {
  fs.mkdirSync(dir, { recursive: true });
  const logFile = path.join(dir, 'bridge.log');
  const stateDir = path.join(dir, 'state');
  fs.rmSync(logFile, { force: true });
  fs.rmSync(stateDir, { recursive: true, force: true });
  const fd = fs.openSync(logFile, 'a');
  const child = spawn(WINE_EXEC, [PREFIX, path.join(root, 'runtime', 'kestovar-ndi-bridge.exe'),
    windowsPath(path.join(root, 'app', 'src', 'server.js'))], {
    cwd: path.join(root, 'app'),
    env: wineEnv({ KESTOVAR_BRIDGE_PORT: '0', KESTOVAR_BRIDGE_STATE_DIR: windowsPath(stateDir), ...env }),
    stdio: ['ignore', fd, fd],
  });
  fs.closeSync(fd);
  let exited = null;
  const exitPromise = new Promise((resolve) => child.on('exit', (code, signal) => {
    exited = { code, signal };
    resolve(exited);
  }));
  const listening = await waitFor('the bridge to listen', () => {
    if (exited) throw new Error(`bridge exited early (${JSON.stringify(exited)}):\n${readText(logFile)}`);
    return bridgeRecords(readText(logFile)).find((r) => r.event === 'listening');
  });
  const state = await waitFor('the state file', () => fs.existsSync(path.join(stateDir, 'bridge.json')) && adoptState(stateDir));
  return {
    port: Number(listening.port),
    token: state.token,
    pid: state.pid,
    // wine-exec execs Wine, which becomes the Windows process: same Unix process id.
    unixPid: child.pid,
    stateDir,
    logFile,
    exited: exitPromise,
    records: () => bridgeRecords(readText(logFile)),
    alive: () => exited === null,
    async stop() {
      if (exited) return exited;
      process.kill(child.pid, 'SIGINT');
      const timer = setTimeout(() => child.kill('SIGKILL'), 15000);
      const result = await exitPromise;
      clearTimeout(timer);
      return result;
    },
  };
}

// A bridge on the full stand-in NDI runtime, which logs to dir/standin.log; env adds to
// the bridge's environment. Returns { bridge, ndiLog }.
async function startStandinBridge({ dir, env = {} }) {
  const ndiLog = standin.openLog(path.join(dir, 'standin.log'));
  setNdiRuntimeDir(standin.standinDir('full'));
  const bridge = await startBridge({ dir, env: { NDI_STANDIN_LOG: windowsPath(ndiLog.file), ...env } });
  return { bridge, ndiLog };
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

// Frames with content that differs from frame to frame and from byte to byte.
function testFrame(bytes, seed) {
  const frame = Buffer.allocUnsafe(bytes);
  let x = (seed * 2654435761 + 12345) >>> 0;
  for (let i = 0; i < bytes; i += 4) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    frame.writeUInt32LE(x, i);
  }
  return frame;
}

module.exports = {
  BUILD_DIR, SOURCE_DIR, PREFIX, STAGE_DIR, WINE_EXEC, standin, windowsPath, wineEnv, wine,
  setNdiRuntimeDir, sleep, waitFor, listFiles, readText, bridgeRecords, findWineProcess,
  processAlive, stopBridgeProcess, startBridge, startStandinBridge, adoptState, tokens, connect, openSession,
  maskedFrame, rawConnect,
  parseServerStream, testFrame,
};
