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
const RECONNECT_MIN_MS = 250;
const RECONNECT_MAX_MS = 5000;
// The labels of the HMACs that prove the token without sending it: the client's covers
// its message's type, so a proof caught on its way serves for nothing else.
const proofLabel = (type) => `kestovar-${type}:`;
const READY_PROOF_LABEL = 'kestovar-ready:';
// The bridge's own limits on a hello (validateHello in app/src/session.js).
const MAX_DIMENSION = 8192;
const MAX_PIXELS = 7680 * 4320;
const MAX_RATE_TERM = 1000000;
const MAX_SOURCE_CHARS = 200;

// The bridge's refusals by close code, for a close that came without an error text.
const CLOSE_CODE_IDS = { 1001: 'shutting_down', 1011: 'runtime_unavailable', 1013: 'busy' };

// Every failure is one of these, with a stable `code`: the bridge's own error id
// (bad_token, busy, bad_hello, wrong_frame_size, runtime_unavailable, timeout,
// too_much_output, protocol_error), shutting_down, or one of the client's:
// origin_refused, bridge_unreachable, connect_timeout, connection_lost, closed,
// send_in_progress, bad_options, no_state_file, bad_state_file, unverified_bridge.
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

// Port and token: given, else from options.locate() (a page), else from the state file
// (Node.js).
async function resolveEndpoint(options) {
  let { port, token } = options;
  if ((port === undefined || token === undefined) && typeof options.locate === 'function') {
    // A page asks its own server, at every attempt: a restarted bridge has a new token.
    let found;
    try {
      found = await options.locate();
    } catch (error) {
      throw new BridgeError('no_state_file', `locate() found no bridge: ${error?.message ?? error}`);
    }
    port ??= found?.port;
    token ??= found?.token;
  } else if ((port === undefined || token === undefined) && isNode()) {
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

function isIntegerIn(value, low, high) {
  return Number.isInteger(value) && value >= low && value <= high;
}

// The bridge's rules for a hello's fields { source, width, height, fpsN, fpsD, format }:
// null when it takes them, else what is wrong, in the bridge's words. As for the bridge,
// a missing fpsD is 1.
export function checkHello(fields) {
  const { source, width, height, fpsN, fpsD = 1, format } = fields ?? {};
  if (typeof source !== 'string' || source.length < 1 || source.length > MAX_SOURCE_CHARS ||
      /[\u0000-\u001f\u007f]/.test(source)) {
    return `source must be a name of 1 to ${MAX_SOURCE_CHARS} characters without control characters`;
  }
  if (!isIntegerIn(width, 2, MAX_DIMENSION) || !isIntegerIn(height, 2, MAX_DIMENSION)) {
    return `width and height must be whole numbers from 2 to ${MAX_DIMENSION}`;
  }
  if (width * height > MAX_PIXELS) return 'frames larger than 7680x4320 pixels are not supported';
  if (!isIntegerIn(fpsN, 1, MAX_RATE_TERM) || !isIntegerIn(fpsD, 1, MAX_RATE_TERM)) {
    return `fpsN and fpsD must be whole numbers from 1 to ${MAX_RATE_TERM}`;
  }
  if (format !== 'RGBA' && format !== 'UYVY') return 'format must be "RGBA" or "UYVY"';
  if (format === 'UYVY' && width % 2 !== 0) return 'UYVY frames need an even width';
  return null;
}

// The hello's fields from the options, checked as the bridge checks them.
function helloFields(options) {
  const [fpsN, fpsD] = parseFrameRate(options.fps ?? 30);
  const { source, width, height, format = 'RGBA' } = options;
  const fields = { source, width, height, fpsN, fpsD, format };
  const problem = checkHello(fields);
  if (problem) throw new BridgeError('bad_options', problem);
  return fields;
}

function hex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

// HMAC-SHA256 of message keyed by the token, in lowercase hex: node:crypto in Node.js,
// crypto.subtle in a page (a secure context, as http://127.0.0.1 is); null without either.
async function hmacHex(token, message) {
  if (isNode()) {
    const { createHmac } = await import('node:crypto');
    return createHmac('sha256', token).update(message).digest('hex');
  }
  const subtle = globalThis.crypto?.subtle;
  if (!subtle) return null;
  const encoder = new TextEncoder();
  const key = await subtle.importKey('raw', encoder.encode(token), { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  return hex(new Uint8Array(await subtle.sign('HMAC', key, encoder.encode(message))));
}

async function randomNonce() {
  if (isNode()) return (await import('node:crypto')).randomBytes(16).toString('hex');
  if (!globalThis.crypto?.getRandomValues) return null;
  return hex(globalThis.crypto.getRandomValues(new Uint8Array(16)));
}

// What a first message of `type` carries to show the token without sending it: a fresh
// nonce and its proof (good once), and the proof the bridge's answer must carry back (a
// program that took over a stale port cannot make it). Without HMAC at hand, the token
// itself, unverified.
async function tokenProof(type, token) {
  const nonce = await randomNonce();
  const proof = nonce && await hmacHex(token, proofLabel(type) + nonce);
  if (!proof) return { fields: { token }, readyProof: null };
  return { fields: { nonce, proof }, readyProof: await hmacHex(token, READY_PROOF_LABEL + nonce) };
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
  // A system error (`ws` names it: ECONNREFUSED, ECONNRESET) says that nothing answered;
  // a request now could meet a bridge that started since, as one coming back does.
  const nothingAnswered = !reachable && typeof event?.error?.code === 'string';
  if (!reachable && !nothingAnswered && typeof fetch === 'function') {
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

// The options connect() checks before it opens anything.
function sessionSettings(options) {
  const whenBusy = options.whenBusy ?? 'wait';
  if (whenBusy !== 'wait' && whenBusy !== 'drop') throw new BridgeError('bad_options', 'whenBusy must be "wait" or "drop"');
  const bufferedFrames = options.maxBufferedFrames ?? DEFAULT_BUFFERED_FRAMES;
  if (!Number.isInteger(bufferedFrames) || bufferedFrames < 1) {
    throw new BridgeError('bad_options', 'maxBufferedFrames must be a whole number from 1');
  }
  const hello = helloFields(options);
  const { reconnect = false } = options;
  let retry = null;
  if (reconnect === true || (reconnect !== null && typeof reconnect === 'object')) {
    retry = { minDelayMs: reconnect.minDelayMs ?? RECONNECT_MIN_MS, maxDelayMs: reconnect.maxDelayMs ?? RECONNECT_MAX_MS };
    if (!(retry.minDelayMs > 0) || !(retry.maxDelayMs >= retry.minDelayMs)) {
      throw new BridgeError('bad_options', 'reconnect delays must be minDelayMs > 0 and maxDelayMs >= minDelayMs');
    }
  } else if (reconnect !== false) {
    throw new BridgeError('bad_options', 'reconnect must be true, false or { minDelayMs, maxDelayMs }');
  }
  return { whenBusy, bufferedFrames, hello, retry, frameBytes: hello.width * hello.height * BYTES_PER_PIXEL[hello.format] };
}

// One connection: port and token (read again each time from the state file unless
// given), the hello with the token's proof, and the bridge's proof in its ready.
async function openSession(options, settings) {
  const endpoint = await resolveEndpoint(options);
  const { fields, readyProof } = await tokenProof('hello', endpoint.token);
  const hello = { type: 'hello', ...fields, ...settings.hello };
  const { socket, reply } = await openAndAsk(options, { url: endpoint.url, message: hello });
  if (reply.type !== 'ready') {
    socket.close();
    throw new BridgeError('protocol_error', `expected the bridge to be ready, got ${JSON.stringify(reply.type)}`);
  }
  if (readyProof !== null && reply.proof !== readyProof) {
    socket.close();
    throw new BridgeError('unverified_bridge', `the program at ${endpoint.url} could not prove it is the bridge ` +
      'that holds this token (a stale state file, and another program on its port?)');
  }
  return createSession(socket, reply, { ...options, ...endpoint, ...settings });
}

// Connects, says hello and resolves once the bridge is ready for frames. With reconnect,
// it resolves at once when the bridge is away, and keeps trying.
// options: source, width, height, fps (number or 'N/D', default 30), format ('RGBA' or
// 'UYVY'), port and token (Node.js: default from the state file), host, whenBusy ('wait'
// or 'drop'), maxBufferedFrames (2), timeoutMs (10000), stateFile, WebSocket,
// reconnect (false, true or { minDelayMs: 250, maxDelayMs: 5000 }), locate (a function
// giving { port, token }, asked at each attempt).
export async function connect(options = {}) {
  const settings = sessionSettings(options);
  let first = null;
  try {
    first = await openSession(options, settings);
  } catch (error) {
    if (!settings.retry || !isRetried(error, options)) throw error;
    return keepConnected(options, settings, null, error);
  }
  return keepConnected(options, settings, first, null);
}

// The failures a later attempt may overcome: the bridge away, starting, stopping or
// restarted (a new token in the state file), or another program on its old port.
function isRetried(error, options) {
  return ['bridge_unreachable', 'connect_timeout', 'connection_lost', 'shutting_down', 'busy', 'runtime_unavailable',
    'no_state_file', 'bad_state_file', 'unverified_bridge'].includes(error?.code) ||
    (error?.code === 'bad_token' && options.token === undefined);
}

// The session the application holds, over one connection or, with reconnect, one after
// another. Listeners of 'state' hear each change as { state, error, attempt, delayMs }:
// 'connected'; 'disconnected' when a connection ends (with reconnect, 'reconnecting'
// follows); 'reconnecting' before each attempt; 'closed' once for good (error null after
// close()). While the bridge is away, sendFrame resolves false and counts a drop.
function keepConnected(options, settings, first, firstError) {
  const listeners = new Set();
  let current = null;
  let state = 'disconnected';
  let lastError = firstError;
  let ended = false;
  let timer = null;
  let attempting = null;
  // Frames of the connections before the current one, and those dropped with none.
  let earlierSent = 0;
  let earlierDropped = 0;
  let resolveClosed;
  const closed = new Promise((resolve) => { resolveClosed = resolve; });

  function emit(next, detail = {}) {
    state = next;
    const event = { state: next, error: null, ...detail };
    for (const listener of [...listeners]) {
      try {
        listener(event);
      } catch (error) {
        // As an EventTarget does: reported, and the other listeners still hear it.
        setTimeout(() => { throw error; });
      }
    }
  }

  function adopt(session) {
    if (current) {
      earlierSent += current.sent;
      earlierDropped += current.dropped;
    }
    current = session;
    emit('connected');
    session.closed.then((error) => {
      if (ended || error === null) return;
      lastError = error;
      emit('disconnected', { error });
      if (settings.retry && isRetried(error, options)) retry(1);
      else finish(error);
    });
  }

  function retry(attempt) {
    const delayMs = Math.min(settings.retry.maxDelayMs, settings.retry.minDelayMs * 2 ** (attempt - 1));
    emit('reconnecting', { error: lastError, attempt, delayMs });
    timer = setTimeout(() => {
      timer = null;
      attempting = openSession(options, settings).then((session) => {
        attempting = null;
        if (ended) return session.close();
        adopt(session);
      }, (error) => {
        attempting = null;
        if (ended) return;
        lastError = error;
        if (isRetried(error, options)) retry(attempt + 1);
        else finish(error);
      });
    }, delayMs);
  }

  function finish(error) {
    ended = true;
    clearTimeout(timer);
    emit('closed', { error });
    resolveClosed(error);
  }

  // Sends one whole frame on the live connection; false while there is none (reconnect).
  async function sendFrame(pixels) {
    const session = current;
    if (session?.live) {
      try {
        return await session.sendFrame(pixels);
      } catch (error) {
        // The connection ended under this frame: with reconnect, one more frame dropped.
        if (!settings.retry || session.live || ended) throw error;
      }
    } else if (ended || !settings.retry) {
      if (session) return session.sendFrame(pixels);
      throw lastError;
    }
    earlierDropped++;
    return false;
  }

  async function close() {
    if (ended) return closed.then(() => undefined);
    ended = true;
    clearTimeout(timer);
    await attempting;
    if (current?.live) await current.close();
    emit('closed', { error: null });
    resolveClosed(null);
  }

  if (first) adopt(first);
  else retry(1);

  return {
    frameBytes: settings.frameBytes,
    sendFrame,
    // The bridge's counters: frames, cpuUserUs, cpuSystemUs, firstFrameMs, lastFrameMs.
    stats: () => (current ? current.stats() : Promise.reject(lastError)),
    close,
    stopBridge: () => stopBridge(options),
    // Resolves when the session ends for good: null after close(), else the BridgeError.
    closed,
    on(event, listener) {
      if (event !== 'state' || typeof listener !== 'function') {
        throw new BridgeError('bad_options', 'on(\'state\', listener) is the one event');
      }
      listeners.add(listener);
      return this;
    },
    off(event, listener) {
      listeners.delete(listener);
      return this;
    },
    get state() { return state; },
    // The last ready of the bridge and its status page, to show the user what it publishes.
    get ready() { return current?.ready ?? null; },
    get statusPage() { return current?.statusPage ?? null; },
    get sent() { return earlierSent + (current?.sent ?? 0); },
    get dropped() { return earlierDropped + (current?.dropped ?? 0); },
    get live() { return Boolean(current?.live) && !ended; },
  };
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
  const { fields } = await tokenProof('shutdown', endpoint.token);
  try {
    await openAndAsk(options, { url: endpoint.url, message: { type: 'shutdown', ...fields } });
  } catch (error) {
    // A shutdown request is answered by a normal close, never by a reply.
    if (error.code === 'connection_lost' && error.closeCode === 1000) return;
    throw error;
  }
  throw new BridgeError('protocol_error', 'the bridge answered a shutdown request with a message');
}
