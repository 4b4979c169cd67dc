'use strict';
// Frame memory ownership during asynchronous sending, under forced garbage collection
// (node --expose-gc): the addon holds exactly the buffer the runtime may still read, from
// sendFrame until the next frame is accepted or stop() has flushed, and nothing in
// synchronous mode. The stand-in keeps re-reading the frame it owns and logs
// frame_changed if the bytes change while it owns them.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const registry = require('../rig/registry.js');
const { standinDir, useStandinLog, collect, fnv1a64, workDir, loadFreshAddon, copyStandin } = require('./standin-log.js');

assert.equal(typeof globalThis.gc, 'function', 'run with --expose-gc');
const dir = workDir('buffer-hold');
const log = useStandinLog(dir, { NDI_STANDIN_WATCH_MS: '1' });

const W = 256;
const H = 256;
const SIZE = W * H * 4;

const { sleep } = require('../rig/wait.js');

function frame(seed) {
  const b = Buffer.alloc(SIZE);
  for (let i = 0; i < SIZE; i++) b[i] = (i * 31 + seed * 7) & 0xff;
  return b;
}

// Allocations of the same size that would land in freed frame memory.
function churn() {
  const keep = [];
  for (let i = 0; i < 32; i++) keep.push(Buffer.alloc(SIZE, 0xee));
  return keep.length;
}

function startWith(runtimeDir, name) {
  registry.setMachineValue(runtimeDir);
  const q = loadFreshAddon(dir);
  assert.equal(q.isAvailable(), true);
  assert.equal(q.start(name, W, H), true);
  log.next();
  return q;
}

test('asynchronous send: A is held until B is accepted, B until stop', async () => {
  const q = startWith(path.resolve(standinDir('full')), 'hold');
  const finalized = new Set();
  const registryOfFinals = new FinalizationRegistry((tag) => finalized.add(tag));
  const refs = {};
  const sums = {};
  // Each buffer exists only inside its own function: the addon's reference is the only one.
  const send = (tag, seed) => {
    const b = frame(seed);
    refs[tag] = new WeakRef(b);
    sums[tag] = fnv1a64(b);
    registryOfFinals.register(b, tag);
    assert.equal(q.sendFrame(b), true);
  };

  send('A', 1);
  await collect();
  churn();
  assert.ok(refs.A.deref(), 'A is held while the runtime may read it');

  send('B', 2);
  await collect();
  churn();
  await collect();
  assert.equal(refs.A.deref(), undefined, 'A is released once B was accepted');
  assert.ok(refs.B.deref(), 'B is held');
  await sleep(30); // the stand-in keeps re-reading B meanwhile
  await collect();
  assert.ok(refs.B.deref(), 'B is still held before stop');

  assert.equal(q.stop(), true);
  await collect();
  assert.equal(refs.B.deref(), undefined, 'stop releases B');
  for (let i = 0; i < 50 && finalized.size < 2; i++) await collect();
  assert.deepEqual([...finalized].sort(), ['A', 'B']);

  const ev = log.next();
  const sent = ev.filter((e) => e.event === 'send_video');
  assert.deepEqual(sent.map((e) => [e.mode, e.fnv]), [['async', sums.A], ['async', sums.B]]);
  assert.deepEqual(ev.filter((e) => e.event === 'frame_changed'), [], 'no frame changed while owned');
  assert.deepEqual(ev.slice(-2).map((e) => e.event), ['flush', 'send_destroy']);
});

test('the runtime reads the script memory itself: writing into an owned frame is seen', async () => {
  const q = startWith(path.resolve(standinDir('full')), 'write');
  const c = frame(3);
  const d = frame(4);
  assert.equal(q.sendFrame(c), true);
  await sleep(20);
  c.fill(0x55); // the script must not do this before its next sendFrame
  await sleep(20);
  assert.equal(q.sendFrame(d), true);
  c.fill(0x66); // no longer owned: not reported
  await sleep(20);
  assert.equal(q.stop(), true);
  d.fill(0x77); // flushed: not reported
  const ev = log.next();
  const changed = ev.filter((e) => e.event === 'frame_changed');
  assert.equal(changed.length, 1, JSON.stringify(ev));
  assert.equal(changed[0].frame, ev.find((e) => e.event === 'send_video').frame);
  assert.equal(changed[0].fnv, fnv1a64(frame(3)));
  // The watcher may catch the fill half-way: what it read differs, not necessarily all 0x55.
  assert.notEqual(changed[0].now, changed[0].fnv);
});

test('synchronous send (no asynchronous entry point) holds no buffer', async () => {
  // The stand-in copies each synchronous frame for its frame directory.
  const frameDir = path.join(dir, 'frames');
  fs.mkdirSync(frameDir, { recursive: true });
  process.env.NDI_STANDIN_FRAME_DIR = frameDir;
  let q;
  try {
    q = startWith(copyStandin('noasync', path.join(dir, 'noasync')), 'sync');
  } finally {
    delete process.env.NDI_STANDIN_FRAME_DIR;
  }
  const refs = {};
  const send = (tag, seed) => {
    const b = frame(seed);
    refs[tag] = new WeakRef(b);
    assert.equal(q.sendFrame(b), true);
  };
  send('A', 5);
  await collect();
  assert.equal(refs.A.deref(), undefined, 'the runtime was done with A when sendFrame returned');
  send('B', 6);
  await collect();
  assert.equal(refs.B.deref(), undefined);
  assert.equal(q.stop(), true);
  const ev = log.next();
  assert.deepEqual(ev.map((e) => e.event), ['send_video', 'send_video', 'send_destroy']);
  assert.deepEqual(ev.slice(0, 2).map((e) => [e.mode, e.fnv]), [['sync', fnv1a64(frame(5))], ['sync', fnv1a64(frame(6))]]);
  assert.deepEqual(fs.readFileSync(path.join(frameDir, 'last-frame.raw')), frame(6));
  const info = JSON.parse(fs.readFileSync(path.join(frameDir, 'last-frame.json'), 'utf8'));
  assert.deepEqual([info.xres, info.yres, info.fourcc, info.stride, info.frames], [W, H, 'RGBA', W * 4, 2]);
});

test.after(() => {
  registry.deleteMachineValue();
});
