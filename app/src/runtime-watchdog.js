'use strict';
// A call into the NDI runtime that never returns must not leave a bridge that holds the
// port, the state file and the application slot forever (the vendor's runtime does that
// under Wine: NDIlib_send_destroy never comes back). The call blocks the script thread
// inside native code, so the watch runs on a thread of its own: each guarded call arms it
// with one atomic store, and disarms it with another when it returns. Nothing runs per
// frame. If a call is still running at its deadline, the watch thread logs
// "runtime_stuck", removes the state file and ends the process with EXIT_RUNTIME_STUCK.
//
// It ends the process with the C library's exit(), through WASI's proc_exit: the only way
// from a worker thread that takes a chosen exit code (process.exit there ends only the
// worker; a SIGKILL to the process ends it with 1 on Windows) and does not wait for the
// stuck thread.

const { Worker, isMainThread, workerData } = require('node:worker_threads');
const { logEvent, logTo, outputFd } = require('./log');

const { RUNTIME_STUCK: EXIT_RUNTIME_STUCK } = require('./exit-codes');
const NAME_BYTES = 64;
const HEADER_BYTES = 12;
const WATCHDOG = 'kestovar-runtime-watchdog';

// [0]: even = idle, odd = a call is running; [1]: how long it may take, in ms; [2]: the
// file descriptor the log goes to now (after a rotation, no longer standard output);
// then the call's name.
let shared = null;

function callName(bytes) {
  const end = bytes.indexOf(0);
  return Buffer.from(bytes.subarray(0, end < 0 ? bytes.length : end)).toString('utf8');
}

// Runs fn() under the watch; without a watch thread it just runs it.
function guardRuntimeCall(name, fn, limitMs) {
  if (!shared) return fn();
  const bytes = new Uint8Array(shared.buffer, HEADER_BYTES, NAME_BYTES);
  bytes.fill(0);
  Buffer.from(bytes.buffer, HEADER_BYTES, NAME_BYTES - 1).write(name);
  shared[1] = limitMs;
  shared[2] = outputFd();
  Atomics.add(shared, 0, 1);
  Atomics.notify(shared, 0);
  try {
    return fn();
  } finally {
    Atomics.add(shared, 0, 1);
    Atomics.notify(shared, 0);
  }
}

// Starts the watch thread and returns the addon with its start and stop guarded (the
// calls that create and destroy a sender; sendFrame is left alone). limitMs is how long
// one of them may take. ndi may be null (no addon): nothing to watch then.
function watchRuntime(ndi, { stateDir, limitMs }) {
  if (!ndi) return ndi;
  shared = new Int32Array(new SharedArrayBuffer(HEADER_BYTES + NAME_BYTES));
  const worker = new Worker(__filename, { workerData: { kind: WATCHDOG, shared, stateDir } });
  worker.unref();
  // Without its watch the bridge still serves; it only says so.
  worker.on('error', (error) => {
    shared = null;
    logEvent('runtime_watchdog_failed', { error: error.message.split('\n')[0] });
  });
  return {
    ...ndi,
    start: (...args) => guardRuntimeCall('start', () => ndi.start(...args), limitMs),
    stop: () => guardRuntimeCall('stop', () => ndi.stop(), limitMs),
  };
}

// The C library's exit(code), from this thread, by way of a WASI module that only
// re-exports proc_exit (and the memory WASI insists on).
function exitProcess(code) {
  const { WASI } = require('node:wasi');
  const wasi = new WASI({ version: 'preview1', returnOnExit: false });
  const importName = Buffer.from('wasi_snapshot_preview1');
  const module = Buffer.from([
    0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00,
    0x01, 0x05, 0x01, 0x60, 0x01, 0x7f, 0x00, // type 0: (i32) -> ()
    0x02, 0x24, 0x01, importName.length, ...importName, 0x09, ...Buffer.from('proc_exit'), 0x00, 0x00,
    0x05, 0x03, 0x01, 0x00, 0x01, // one page of memory
    0x07, 0x11, 0x02, 0x06, ...Buffer.from('memory'), 0x02, 0x00, 0x04, ...Buffer.from('exit'), 0x00, 0x00,
  ]);
  const instance = new WebAssembly.Instance(new WebAssembly.Module(module), wasi.getImportObject());
  wasi.initialize(instance);
  instance.exports.exit(code);
}

function endProcess(code) {
  try {
    exitProcess(code);
  } finally {
    // Should WASI ever refuse, the process still ends (with 1 on Windows).
    process.kill(process.pid, 'SIGKILL');
  }
}

function watch({ shared: state, stateDir }) {
  const stateFile = require('./state-file');
  for (;;) {
    const armed = Atomics.load(state, 0);
    if (armed % 2 === 0) {
      Atomics.wait(state, 0, armed);
      continue;
    }
    if (Atomics.wait(state, 0, armed, state[1]) !== 'timed-out') continue;
    const call = callName(new Uint8Array(state.buffer, HEADER_BYTES, NAME_BYTES));
    // The script thread is blocked in the call, so the descriptor stays open meanwhile.
    logTo(state[2]);
    logEvent('runtime_stuck', { call, waited_ms: state[1], exit_code: EXIT_RUNTIME_STUCK,
      detail: 'the NDI runtime did not return; the bridge ends itself so that it can be started again' });
    if (stateDir) stateFile.removeOwnState(stateDir);
    endProcess(EXIT_RUNTIME_STUCK);
  }
}

if (!isMainThread && workerData && workerData.kind === WATCHDOG) watch(workerData);

module.exports = { EXIT_RUNTIME_STUCK, guardRuntimeCall, watchRuntime };
