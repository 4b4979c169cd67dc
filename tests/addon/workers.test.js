'use strict';
// The one sender used from worker threads as well as the script thread, in the real
// node.exe (run with --expose-gc): whatever the order of sendFrame, stop and a worker's
// end, the process does not crash and the stand-in runtime never sees an owned frame
// change (it logs frame_changed if freed memory is reused under it).
const test = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const registry = require('../rig/registry.js');
const { standinDir, useStandinLog, collect, fnv1a64, workDir, freshAddonFile } = require('./standin-log.js');

assert.equal(typeof globalThis.gc, 'function', 'run with --expose-gc');
const dir = workDir('workers');
const log = useStandinLog(dir, { NDI_STANDIN_WATCH_MS: '1' });

const W = 128;
const H = 64;
const SIZE = W * H * 4;
const frame = (seed) => Buffer.alloc(SIZE, seed);

// A started sender in a module instance of its own; workers require the same file.
function startedAddon(name) {
  registry.setMachineValue(path.resolve(standinDir('full')));
  const file = freshAddonFile(dir);
  const q = require(file);
  assert.equal(q.start(name, W, H), true);
  log.next();
  return { q, file };
}

// A worker with `q` (the same module instance), `frame` and `parentPort` in scope.
function startWorker(file, body) {
  const worker = new Worker(`
    const { parentPort } = require('node:worker_threads');
    const q = require(${JSON.stringify(file)});
    const frame = (seed) => Buffer.alloc(${SIZE}, seed);
    ${body}
  `, { eval: true });
  const exited = new Promise((resolve, reject) => {
    worker.on('error', reject);
    worker.on('exit', resolve);
  });
  return { worker, exited };
}

function assertOwnershipKept(events) {
  assert.deepEqual(events.filter((e) => e.event === 'frame_changed'), [], 'the runtime saw an owned frame change');
}

test('the script thread sends, then a worker, then the script thread again', async () => {
  const { q, file } = startedAddon('turns');
  let first = frame(1);
  const firstRef = new WeakRef(first);
  assert.equal(q.sendFrame(first), true);
  first = null;

  const { exited } = startWorker(file, "if (!q.sendFrame(frame(2))) throw new Error('not sent');");
  assert.equal(await exited, 0);
  // The worker's memory is gone; new allocations may land where its frame was.
  for (let i = 0; i < 32; i++) frame(0xee);
  await collect();
  assert.ok(firstRef.deref(), 'the first frame waits for its own thread to let it go');

  assert.equal(q.sendFrame(frame(3)), true);
  await collect();
  assert.equal(firstRef.deref(), undefined, 'released by the next send on its own thread');
  assert.equal(q.stop(), true);

  const ev = log.next();
  assertOwnershipKept(ev);
  // The worker ended while the runtime owned its frame: a flush came first.
  assert.deepEqual(ev.map((e) => e.event),
    ['send_video', 'send_video', 'flush', 'send_video', 'flush', 'send_destroy']);
  assert.deepEqual(ev.filter((e) => e.event === 'send_video').map((e) => e.fnv),
    [1, 2, 3].map((seed) => fnv1a64(frame(seed))));
});

test('stop() on the script thread while the worker that sent the last frame lives', async () => {
  const { q, file } = startedAddon('stop');
  const { worker, exited } = startWorker(file, `
    if (!q.sendFrame(frame(4))) throw new Error('not sent');
    parentPort.postMessage('sent');
    parentPort.once('message', () => {
      globalThis.gc();
      parentPort.postMessage([q.isRunning(), q.sendFrame(frame(5)), q.stop()]);
    });
  `);
  assert.deepEqual(await once(worker, 'message'), ['sent']);
  assert.equal(q.stop(), true);
  assert.equal(q.isRunning(), false);
  worker.postMessage('go');
  assert.deepEqual(await once(worker, 'message'), [[false, false, true]]);
  assert.equal(await exited, 0);

  const ev = log.next();
  assertOwnershipKept(ev);
  assert.deepEqual(ev.map((e) => e.event), ['send_video', 'flush', 'send_destroy']);
});

test('workers send and end while the script thread sends, many times over, with forced GC', async () => {
  const { q, file } = startedAddon('churn');
  const ROUNDS = 16;
  let mainFrames = 0;
  for (let round = 0; round < ROUNDS; round++) {
    const { exited } = startWorker(file, `
      for (let i = 0; i < 3; i++) if (!q.sendFrame(frame(${0x80 + round}))) throw new Error('not sent');
      globalThis.gc();
    `);
    let code;
    exited.then((c) => { code = c; }, (e) => { code = e; });
    // Frames from this thread go on while the worker sends and is torn down on its own.
    while (code === undefined) {
      for (let k = 0; k < 4; k++, mainFrames++) assert.equal(q.sendFrame(frame(mainFrames & 0x7f)), true);
      globalThis.gc();
      await new Promise(setImmediate);
    }
    assert.equal(code, 0);
  }
  assert.equal(q.stop(), true);

  const ev = log.next();
  assertOwnershipKept(ev);
  assert.equal(ev.filter((e) => e.event === 'send_video').length, mainFrames + 3 * ROUNDS);
  assert.deepEqual(ev.slice(-2).map((e) => e.event), ['flush', 'send_destroy']);
});

test.after(() => {
  registry.deleteMachineValue();
});
