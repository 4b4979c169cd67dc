// A page's WebSocket to the bridge, kept in a dedicated worker. Chromium feeds a
// message to its network service from the thread that sent it, a piece at a time: on
// this machine kind a 4 MB frame takes that thread about 20 ms. On the page's own thread
// that work and the page's drawing and capturing wait for each other; in a worker they
// run side by side (bench/page.js). Each frame is copied once into a buffer handed to
// the worker, which hands it back once its socket has taken the bytes.
//
// workerSocketClass() gives a class with the part of WebSocket the library uses
// (binaryType, the on* handlers, send, close, bufferedAmount, readyState), or null where
// no worker starts: no Worker, a Content-Security-Policy that forbids it, the worker's
// file not served. The library then uses the page's own WebSocket.
const WORKER_URL = new URL('./page-socket-worker.mjs', import.meta.url);
const STARTUP_MS = 5000;
const CONNECTING = 0;
const OPEN = 1;
const CLOSING = 2;
const CLOSED = 3;

function startWorker() {
  const worker = new Worker(WORKER_URL, { type: 'module' });
  const started = new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), STARTUP_MS);
    worker.onmessage = (event) => { clearTimeout(timer); resolve(event.data?.type === 'started'); };
    worker.onerror = () => { clearTimeout(timer); resolve(false); };
  });
  return { worker, started };
}

class WorkerSocket {
  #worker;
  #posted = 0; // bytes of frames handed to the worker
  #taken = 0; // of those, what the worker's socket has taken
  #amount = 0; // the worker's socket's own bufferedAmount
  #spare = null;

  constructor(url, worker) {
    this.url = url;
    this.readyState = CONNECTING;
    this.binaryType = 'arraybuffer';
    this.onopen = this.onerror = this.onmessage = this.onclose = null;
    this.#worker = worker;
    worker.onmessage = (event) => this.#arrived(event.data);
    // A worker that fails takes its socket with it, as a connection that failed would.
    worker.onerror = () => {
      this.#arrived({ type: 'error' });
      this.#arrived({ type: 'close', code: 1006, reason: 'the socket worker failed', wasClean: false });
    };
    worker.postMessage({ type: 'open', url });
  }

  get bufferedAmount() {
    return this.#amount + this.#posted - this.#taken;
  }

  send(data) {
    if (this.readyState !== OPEN) throw new DOMException('the socket is not open', 'InvalidStateError');
    if (typeof data === 'string') {
      this.#worker.postMessage({ type: 'send', data });
      return;
    }
    const bytes = ArrayBuffer.isView(data) ? new Uint8Array(data.buffer, data.byteOffset, data.byteLength) : new Uint8Array(data);
    const copy = this.#spare?.byteLength === bytes.byteLength ? this.#spare : new ArrayBuffer(bytes.byteLength);
    this.#spare = null;
    new Uint8Array(copy).set(bytes);
    this.#posted += bytes.byteLength;
    this.#worker.postMessage({ type: 'send', data: copy }, [copy]);
  }

  close(code, reason) {
    if (this.readyState >= CLOSING) return;
    this.readyState = CLOSING;
    this.#worker.postMessage({ type: 'close', code, reason });
  }

  #arrived(message) {
    if (this.readyState === CLOSED) return;
    switch (message.type) {
      case 'open':
        // Closed before it opened: the close on its way is what counts.
        if (this.readyState !== CONNECTING) break;
        this.readyState = OPEN;
        this.onopen?.({ type: 'open' });
        break;
      case 'message':
        this.onmessage?.({ type: 'message', data: message.data });
        break;
      case 'error':
        this.onerror?.({ type: 'error' });
        break;
      case 'buffered':
        this.#amount = message.amount;
        this.#taken = message.taken;
        if (message.spare) this.#spare = message.spare;
        break;
      case 'close':
        this.readyState = CLOSED;
        this.#worker.terminate();
        this.onclose?.({ type: 'close', code: message.code, reason: message.reason, wasClean: message.wasClean });
        break;
      default:
    }
  }
}

export async function workerSocketClass() {
  if (typeof Worker !== 'function') return null;
  let next;
  try {
    next = startWorker();
  } catch {
    return null;
  }
  if (!(await next.started)) {
    next.worker.terminate();
    return null;
  }
  // The worker started here serves the first socket; each later one (a reconnect) gets
  // a worker of its own, started the same way.
  return class extends WorkerSocket {
    constructor(url) {
      const { worker } = next ?? startWorker();
      next = null;
      super(url, worker);
    }
  };
}
