// Kestovar Output Bridge client: publishes frames from an application, in Node.js or in
// a browser, through the bridge's WebSocket on the loopback interface.
//
//   const bridge = await connect({ source: 'My app', width: 1280, height: 720, fps: 30 });
//   await bridge.sendFrame(pixels);   // one whole RGBA frame
//   await bridge.close();
//
// In browsers it needs nothing but the platform. In Node.js it uses the `ws` package where
// it is installed (and then masks and writes frames itself) and the global WebSocket
// otherwise, and finds the bridge's port and token in the bridge's state file when they
// are not given.

const DEFAULT_HOST = '127.0.0.1';
const DEFAULT_TIMEOUT_MS = 10000;
const DEFAULT_BUFFERED_FRAMES = 2;
const POLL_MS = 2;
const BYTES_PER_PIXEL = { RGBA: 4, UYVY: 2 };
const STATE_FILE = 'bridge.json';

// The bridge's refusals by close code, for a close that came without an error text.
const CLOSE_CODE_IDS = { 1001: 'shutting_down', 1011: 'runtime_unavailable', 1013: 'busy' };

// Every failure is one of these, with a stable `code`: the bridge's own error id
// (bad_token, busy, bad_hello, wrong_frame_size, runtime_unavailable, timeout,
// too_much_output, protocol_error), shutting_down, or one of the client's:
// origin_refused, bridge_unreachable, connect_timeout, connection_lost, closed,
// send_in_progress, bad_options, no_state_file, bad_state_file.
export class BridgeError extends Error {
  constructor(code, message, closeCode) {
    super(message);
    this.name = 'BridgeError';
    this.code = code;
    if (closeCode !== undefined) this.closeCode = closeCode;
  }
}

function isNode() {
  return typeof process !== 'undefined' && typeof process.versions?.node === 'string' &&
    typeof window === 'undefined';
}

// The bridge's state file directory: KESTOVAR_BRIDGE_STATE_DIR, else the per-user
// application data directory the bridge uses on Windows.
async function stateFilePath() {
  const path = await import('node:path');
  const dir = process.env.KESTOVAR_BRIDGE_STATE_DIR;
  if (dir) return path.join(dir, STATE_FILE);
  const local = process.env.LOCALAPPDATA;
  if (!local) {
    throw new BridgeError('no_state_file', 'cannot find the bridge state file: neither ' +
      'KESTOVAR_BRIDGE_STATE_DIR nor LOCALAPPDATA is set; give port and token instead');
  }
  return path.win32.join(local, 'Tarnwell', 'Kestovar Output Bridge', STATE_FILE);
}

// Node.js only: { port, token, pid, started } from the running bridge's state file.
export async function readBridgeState(file) {
  if (!isNode()) throw new BridgeError('no_state_file', 'a page gets the port and token from its own server');
  file ??= await stateFilePath();
  const { readFile } = await import('node:fs/promises');
  let text;
  try {
    text = await readFile(file, 'utf8');
  } catch (error) {
    if (error.code === 'ENOENT') throw new BridgeError('no_state_file', `the bridge is not running (no ${file})`);
    throw new BridgeError('no_state_file', `cannot read ${file}: ${error.message}`);
  }
  let state;
  try {
    state = JSON.parse(text);
  } catch {
    state = null;
  }
  if (!state || !Number.isInteger(state.port) || state.port < 1 || state.port > 65535 ||
      typeof state.token !== 'string' || !/^[0-9a-f]{64}$/.test(state.token)) {
    throw new BridgeError('bad_state_file', `${file} does not hold a port and a token`);
  }
  return state;
}

async function webSocketClass(options) {
  if (options.WebSocket) return options.WebSocket;
  // In Node.js `ws` comes first where it is installed: on its socket the library writes
  // frames itself (node-frames.mjs), at a fraction of the CPU the global WebSocket takes.
  if (isNode()) {
    try {
      return (await import('ws')).default;
    } catch {
      // not installed
    }
  }
  if (typeof globalThis.WebSocket === 'function') return globalThis.WebSocket;
  throw new BridgeError('bad_options', isNode() ? 'this Node.js has no global WebSocket: install the "ws" package'
    : 'this runtime has no WebSocket');
}

// Port and token: given, else from the state file (Node.js).
async function resolveEndpoint(options) {
  let { port, token } = options;
  if ((port === undefined || token === undefined) && isNode()) {
    const state = await readBridgeState(options.stateFile);
    port ??= state.port;
    token ??= state.token;
  }
  if (!Number.isInteger(port) || port < 1 || port > 65535) {
    throw new BridgeError('bad_options', 'port must be the bridge\'s port (1..65535)');
  }
  if (typeof token !== 'string' || token === '') throw new BridgeError('bad_options', 'token is required');
  return { url: `ws://${options.host || DEFAULT_HOST}:${port}/`, port, token };
}

// 30, 29.97, '30000/1001' or '25' -> [fpsN, fpsD].
export function parseFrameRate(fps) {
  if (typeof fps === 'string') {
    const m = /^\s*(\d+)\s*(?:\/\s*(\d+)\s*)?$/.exec(fps);
    if (m) return [Number(m[1]), m[2] === undefined ? 1 : Number(m[2])];
  } else if (typeof fps === 'number' && fps > 0 && Number.isFinite(fps)) {
    if (Number.isInteger(fps)) return [fps, 1];
    // The NTSC family (23.976, 29.97, 59.94) is N*1000/1001.
    const ntsc = Math.round(fps * 1.001);
    if (Math.abs(fps - ntsc / 1.001) < 0.005) return [ntsc * 1000, 1001];
    return [Math.round(fps * 1000), 1000];
  }
  throw new BridgeError('bad_options', `fps must be a number or "N/D", not ${JSON.stringify(fps)}`);
}

function helloFrom(options, token) {
  const format = options.format ?? 'RGBA';
  const [fpsN, fpsD] = parseFrameRate(options.fps ?? 30);
  const { source, width, height } = options;
  if (!BYTES_PER_PIXEL[format]) throw new BridgeError('bad_options', 'format must be "RGBA" or "UYVY"');
  if (!Number.isInteger(width) || !Number.isInteger(height) || width < 1 || height < 1) {
    throw new BridgeError('bad_options', 'width and height must be whole numbers of pixels');
  }
  if (typeof source !== 'string' || source === '') throw new BridgeError('bad_options', 'source must name the NDI source');
  return { type: 'hello', token, source, width, height, fpsN, fpsD, format };
}

// The error for a refusal: the bridge's error text if it sent one, else the close code.
function refusalError(refusal, code, reason) {
  if (refusal) return new BridgeError(refusal.error || CLOSE_CODE_IDS[refusal.code] || 'protocol_error', refusal.message, refusal.code);
  if (CLOSE_CODE_IDS[code]) return new BridgeError(CLOSE_CODE_IDS[code], reason || `the bridge closed the connection (${code})`, code);
  return new BridgeError('connection_lost', `the connection to the bridge ended (${code}${reason ? `: ${reason}` : ''})`, code);
}

// A socket that failed before it opened: the bridge refused the handshake (a browser
// only sees a failure; `ws` names the HTTP status) or nothing listens at all. The bridge
// answers any plain HTTP request, so one request tells the two apart.
async function openFailure(url, event) {
  const status = /Unexpected server response: (\d+)/.exec(event?.message || event?.error?.message || '');
  let reachable = status !== null;
  if (!reachable && typeof fetch === 'function') {
    try {
      await fetch(url.replace(/^ws:/, 'http:'), { mode: 'no-cors', cache: 'no-store' });
      reachable = true;
    } catch {
      reachable = false;
    }
  }
  if (!reachable) return new BridgeError('bridge_unreachable', `no bridge answers at ${url}`);
  return new BridgeError('origin_refused', `the bridge at ${url} refused the connection` +
    (status ? ` (HTTP ${status[1]})` : '') + ': this origin is not in its KESTOVAR_BRIDGE_ORIGINS');
}

// Opens a socket and sends `first` once it is open. Resolves with the socket and the
// first text reply; rejects with a BridgeError (a refusal, a failed open, the timeout).
async function openAndAsk(options, first) {
  const WebSocketClass = await webSocketClass(options);
  const { url } = first;
  // `ws` would offer compression, which raw frames do not gain from; others ignore this.
  const socket = isNode() ? new WebSocketClass(url, [], { perMessageDeflate: false }) : new WebSocketClass(url);
  socket.binaryType = 'arraybuffer';
  return new Promise((resolve, reject) => {
    let opened = false;
    let refusal = null;
    let settled = false;
    const settle = (error, reply) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      socket.onopen = null;
      // Errors after this point are told by the close event (or no longer matter).
      socket.onerror = () => {};
      if (error) {
        socket.onmessage = socket.onclose = null;
        try {
          socket.close();
        } catch {
          // not open yet
        }
        reject(error);
      } else {
        resolve({ socket, reply });
      }
    };
    const timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
    const timer = setTimeout(() => settle(new BridgeError('connect_timeout',
      `the bridge at ${url} did not answer within ${timeoutMs} ms`)), timeoutMs);
    socket.onopen = () => {
      opened = true;
      socket.send(JSON.stringify(first.message));
    };
    socket.onerror = (event) => {
      if (!opened) openFailure(url, event).then((error) => settle(error));
    };
    socket.onmessage = (event) => {
      const message = textMessage(event);
      if (message === undefined) return;
      if (message === null) return settle(new BridgeError('protocol_error', 'the bridge sent a text that is not JSON'));
      if (message.type === 'error') refusal = message;
      else settle(null, message);
    };
    socket.onclose = (event) => {
      if (opened) settle(refusalError(refusal, event.code, event.reason));
    };
  });
}

// A text message's JSON: undefined for a binary message, null for text that is not JSON.
function textMessage(event) {
  if (typeof event.data !== 'string') return undefined;
  try {
    return JSON.parse(event.data);
  } catch {
    return null;
  }
}

// Connects, says hello and resolves once the bridge is ready for frames.
// options: source, width, height, fps (number or 'N/D', default 30), format ('RGBA' or
// 'UYVY'), port and token (Node.js: default from the state file), host, whenBusy ('wait'
// or 'drop'), maxBufferedFrames (2), timeoutMs (10000), stateFile, WebSocket.
export async function connect(options = {}) {
  const whenBusy = options.whenBusy ?? 'wait';
  if (whenBusy !== 'wait' && whenBusy !== 'drop') throw new BridgeError('bad_options', 'whenBusy must be "wait" or "drop"');
  const bufferedFrames = options.maxBufferedFrames ?? DEFAULT_BUFFERED_FRAMES;
  if (!Number.isInteger(bufferedFrames) || bufferedFrames < 1) {
    throw new BridgeError('bad_options', 'maxBufferedFrames must be a whole number from 1');
  }
  const endpoint = await resolveEndpoint(options);
  const hello = helloFrom(options, endpoint.token);
  const { socket, reply } = await openAndAsk(options, { url: endpoint.url, message: hello });
  if (reply.type !== 'ready') {
    socket.close();
    throw new BridgeError('protocol_error', `expected the bridge to be ready, got ${JSON.stringify(reply.type)}`);
  }
  return createSession(socket, reply, { ...options, ...endpoint, whenBusy, bufferedFrames });
}

function frameBytesOf(pixels) {
  if (pixels instanceof ArrayBuffer) return pixels.byteLength;
  if (ArrayBuffer.isView(pixels) && pixels.BYTES_PER_ELEMENT === 1) return pixels.byteLength;
  return -1;
}

function createSession(socket, ready, options) {
  const frameBytes = ready.frameBytes;
  // Room for this many whole frames in the socket's send buffer, never more.
  const maxBuffered = frameBytes * options.bufferedFrames;
  const statsWaiters = [];
  let refusal = null;
  let ended = null;
  let waiting = false;
  let sent = 0;
  let dropped = 0;
  let resolveClosed;
  const closed = new Promise((resolve) => { resolveClosed = resolve; });
  // Set while sendFrame waits for room: checks again at once.
  let roomWatcher = null;
  // In Node.js with `ws`, the library writes frames on the socket itself (node-frames.mjs:
  // one masked copy into buffers it reuses), and knows when the socket has taken each;
  // browsers mask in the platform.
  const writerReady = isNode()
    ? import('./node-frames.mjs').then((m) => m.frameWriter(socket, frameBytes, () => roomWatcher?.()), () => null)
    : null;

  socket.onmessage = (event) => {
    const message = textMessage(event);
    if (!message) return;
    if (message.type === 'error') refusal = message;
    else if (message.type === 'stats') statsWaiters.shift()?.resolve(message);
  };
  socket.onclose = (event) => {
    // Our own close() ends with null; anything else with what ended the session.
    ended ??= refusalError(refusal, event.code, event.reason);
    for (const waiter of statsWaiters.splice(0)) waiter.reject(ended);
    resolveClosed(ended.code === 'closed' ? null : ended);
  };

  function check() {
    if (ended) throw ended;
  }

  function hasRoom() {
    return socket.bufferedAmount + frameBytes <= maxBuffered;
  }

  // Checks every POLL_MS, and at once whenever the library's own writer has handed a
  // frame to the system.
  function waitForRoom() {
    return new Promise((resolve, reject) => {
      let timer;
      const poll = () => {
        clearTimeout(timer);
        if (!ended && !hasRoom()) {
          timer = setTimeout(poll, POLL_MS);
          return;
        }
        roomWatcher = null;
        if (ended) reject(ended);
        else resolve();
      };
      roomWatcher = poll;
      poll();
    });
  }

  // Sends one whole frame. Resolves with true once it is handed to the socket, or false
  // when whenBusy is 'drop' and the bridge is behind. The pixels may be reused as soon as
  // the promise settles.
  async function sendFrame(pixels) {
    check();
    const bytes = frameBytesOf(pixels);
    if (bytes < 0) {
      throw new BridgeError('bad_options', 'a frame is a Uint8Array, Uint8ClampedArray, Buffer or ArrayBuffer');
    }
    if (bytes !== frameBytes) {
      throw new BridgeError('wrong_frame_size', `wrong frame size: a frame is ${frameBytes} bytes, this one is ${bytes}`);
    }
    // One frame at most waits for room, and no later frame overtakes it: the application
    // awaits each sendFrame.
    if (waiting) throw new BridgeError('send_in_progress', 'the previous frame still waits for room: await sendFrame');
    if (!hasRoom()) {
      if (options.whenBusy === 'drop') {
        dropped++;
        return false;
      }
      waiting = true;
      try {
        await waitForRoom();
      } finally {
        waiting = false;
      }
    }
    const write = writerReady && await writerReady;
    if (!write?.(pixels)) socket.send(pixels);
    sent++;
    return true;
  }

  // The bridge's counters: frames, cpuUserUs, cpuSystemUs, firstFrameMs, lastFrameMs.
  async function stats() {
    check();
    return new Promise((resolve, reject) => {
      statsWaiters.push({ resolve, reject });
      socket.send(JSON.stringify({ type: 'stats' }));
    });
  }

  // Ends the session; resolves once the bridge has closed its side.
  function close() {
    if (!ended) {
      ended = new BridgeError('closed', 'the session was closed');
      socket.close(1000, 'done');
    }
    return closed.then(() => undefined);
  }

  return {
    frameBytes,
    ready,
    // The bridge's status page, to show the user what it publishes.
    statusPage: `http://${options.host || DEFAULT_HOST}:${options.port}/`,
    sendFrame,
    stats,
    close,
    stopBridge: () => stopBridge(options),
    // Resolves when the session ends: null after close(), else the BridgeError that ended it.
    closed,
    get sent() { return sent; },
    get dropped() { return dropped; },
    get live() { return ended === null; },
  };
}

// Asks the bridge to shut down (it flushes and leaves). Resolves once it has accepted.
export async function stopBridge(options = {}) {
  const endpoint = await resolveEndpoint(options);
  try {
    await openAndAsk(options, { url: endpoint.url, message: { type: 'shutdown', token: endpoint.token } });
  } catch (error) {
    // A shutdown request is answered by a normal close, never by a reply.
    if (error.code === 'connection_lost' && error.closeCode === 1000) return;
    throw error;
  }
  throw new BridgeError('protocol_error', 'the bridge answered a shutdown request with a message');
}
