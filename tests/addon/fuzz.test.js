'use strict';
// Property-based test of the six script functions: thousands of calls with random
// argument lists, each checked against the result or exception that the documented rules
// give (an independent model of the argument contract and the sender state), once without
// and once with an NDI runtime. Seeded: the seed is printed, KESTOVAR_FUZZ_SEED repeats it.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const registry = require('../rig/registry.js');
const { createRandom } = require('../rig/random.js');
const {
  standinDir, useStandinLog, workDir, loadFreshAddon, START_USAGE, SEND_USAGE, UNMASK_USAGE, MASK_LENGTH,
} = require('./standin-log.js');

const SEED = process.env.KESTOVAR_FUZZ_SEED !== undefined
  ? Number(process.env.KESTOVAR_FUZZ_SEED) >>> 0
  : (Date.now() ^ (process.pid << 16)) >>> 0;
const CALLS = Number(process.env.KESTOVAR_FUZZ_CALLS || 4000);
console.log(`fuzz seed ${SEED}, ${CALLS} calls per phase (KESTOVAR_FUZZ_SEED=${SEED} repeats it)`);

const dir = workDir('fuzz');
const log = useStandinLog(dir);

const INT32_MAX = 2 ** 31 - 1;

// ---- the documented rules, written apart from the addon ----

// Number to signed 32-bit: fraction dropped, non-finite 0, low 32 bits kept.
function toInt32(x) {
  if (!Number.isFinite(x)) return 0;
  let m = Math.trunc(x) % 2 ** 32;
  if (m < 0) m += 2 ** 32;
  return m >= 2 ** 31 ? m - 2 ** 32 : m;
}

const ELEMENT_SIZE = {
  Int8Array: 1, Uint8Array: 1, Uint8ClampedArray: 1, Int16Array: 2, Uint16Array: 2,
  Int32Array: 4, Uint32Array: 4, Float32Array: 4, Float64Array: 8, BigInt64Array: 8, BigUint64Array: 8,
};

function kindOf(view) {
  let p = Object.getPrototypeOf(view);
  while (p && !Object.prototype.hasOwnProperty.call(ELEMENT_SIZE, p.constructor.name)) p = Object.getPrototypeOf(p);
  return p ? p.constructor.name : null;
}

// The host's buffer test: Node.js counts every ArrayBuffer view.
const isBufferArg = (v) => ArrayBuffer.isView(v);
const viewBytes = (v) => v.length * ELEMENT_SIZE[kindOf(v)];

const ret = (value) => ({ value });
const raise = (Ctor, message) => ({ Ctor, message });

function expectStart(model, args) {
  if (!model.available) return ret(false);
  if (model.running) return ret(true);
  if (args.length < 3 || typeof args[0] !== 'string' || typeof args[1] !== 'number' ||
      typeof args[2] !== 'number') {
    return raise(TypeError, START_USAGE);
  }
  const w = toInt32(args[1]);
  const h = toInt32(args[2]);
  const n = args.length >= 4 && typeof args[3] === 'number' ? toInt32(args[3]) : 30;
  const d = args.length >= 5 && typeof args[4] === 'number' ? toInt32(args[4]) : 1;
  const format = args.length >= 6 && typeof args[5] === 'string' ? args[5] : 'RGBA';
  if (w < 2 || h < 2 || n < 1 || d < 1) return ret(false);
  let stride;
  if (format === 'UYVY' && w % 2 === 0) stride = w * 2;
  else if (format === 'RGBA') stride = w * 4;
  else return ret(false);
  if (stride > INT32_MAX) return ret(false); // refused: the runtime's stride is 32-bit
  model.running = true;
  model.frameSize = BigInt(stride) * BigInt(h);
  model.creates++;
  return ret(true);
}

function expectSendFrame(model, args) {
  if (!model.running) return ret(false);
  if (args.length < 1 || !isBufferArg(args[0])) return raise(TypeError, SEND_USAGE);
  if (args[0] instanceof DataView) return raise(Error, 'Invalid argument');
  if (BigInt(viewBytes(args[0])) !== model.frameSize) return ret(false);
  model.sends++;
  return ret(true);
}

function expectUnmask(model, args) {
  if (args.length < 2 || !isBufferArg(args[0]) || !isBufferArg(args[1])) return raise(TypeError, UNMASK_USAGE);
  if (args[0] instanceof DataView || args[1] instanceof DataView) return raise(Error, 'Invalid argument');
  if (viewBytes(args[1]) !== 4) return raise(RangeError, MASK_LENGTH);
  return ret(args[0]);
}

const EXPECT = {
  isAvailable: (m) => ret(m.available),
  isRunning: (m) => ret(m.running),
  stop: (m) => { m.running = false; return ret(true); },
  start: expectStart,
  sendFrame: expectSendFrame,
  unmaskFrame: expectUnmask,
};

// ---- random arguments ----


const HUGE = 'x'.repeat(1 << 20);
const KINDS = Object.keys(ELEMENT_SIZE);

// Values in [0, 1) from the seed.
function uniform(seed) {
  const next = createRandom(seed);
  return () => next() / 4294967296;
}

function makeFuzzer(rand) {
  const int = (n) => Math.floor(rand() * n);
  const pick = (list) => list[int(list.length)];
  const numbers = [0, -0, 1, 2, 3, 4, 6, 8, 16, 33, 64, 1920, 1080, 1920.9, 29.97, -1, -2, NaN, Infinity,
    -Infinity, 2 ** 31, -(2 ** 31), INT32_MAX, 2 ** 32, 2 ** 32 + 4, 2 ** 32 - 2, 2 ** 53, -(2 ** 53),
    Number.MAX_VALUE, Number.MIN_VALUE, 536870911, 536870912, 1073741822, 1073741824, 0.5, -0.5];
  const strings = ['', 'RGBA', 'UYVY', 'rgba', 'uyvy', 'RGBA\0', ' RGBA', 'name', '1920', HUGE,
    'Bühne – 名前 ✓ 𝄞', 'lone \ud800', '\udfff\ud800'];

  function typedArray(kind, length) {
    const C = globalThis[kind];
    const r = int(4);
    if (r === 0) {
      // a view starting inside a larger buffer
      const b = new ArrayBuffer((length + 3) * ELEMENT_SIZE[kind]);
      return new C(b, 2 * ELEMENT_SIZE[kind], length);
    }
    if (r === 1 && kind === 'Uint8Array') return Buffer.alloc(length);
    return new C(length);
  }

  function detached() {
    const b = new ArrayBuffer(16);
    const v = new (globalThis[pick(KINDS)])(b);
    structuredClone(b, { transfer: [b] });
    return v;
  }

  function view(model) {
    const r = int(10);
    if (r === 0) return new DataView(new ArrayBuffer(pick([0, 4, 16])));
    if (r === 1) return detached();
    if (r === 2) return typedArray(pick(KINDS), 0);
    if (r <= 5 && model.running && model.frameSize <= 1n << 20n) {
      // exactly the frame size, or one element off, in a kind that divides it
      const kind = pick(KINDS);
      const size = ELEMENT_SIZE[kind];
      const n = Number(model.frameSize) / size;
      if (Number.isInteger(n)) return typedArray(kind, Math.max(0, n + pick([0, 0, 0, 1, -1])));
    }
    if (r === 6) return typedArray(pick(KINDS), pick([1, 2, 4]));
    return typedArray(pick(KINDS), int(64));
  }

  function value(model) {
    switch (int(8)) {
      case 0: return pick([undefined, null, true, false]);
      case 1: case 2: return pick(numbers);
      case 3: return pick(strings);
      case 4: return pick([() => ({}), () => [], () => [1, 2, 3], () => new Number(4), () => new String('RGBA'),
        () => function f() {}, () => new ArrayBuffer(16), () => new SharedArrayBuffer(8), () => Symbol('s'),
        () => 12n, () => new Proxy(new Uint8Array(4), {}), () => Object.create(Uint8Array.prototype),
        () => ({ length: 4, byteLength: 4 })])();
      default: return view(model);
    }
  }

  // Mostly random lists; some shaped like real calls so that senders get created and fed.
  function args(fn, model) {
    if (fn === 'start' && int(3) === 0) {
      // now and then a width whose line stride is at or beyond the 32-bit limit
      const width = int(5) === 0 ? pick([536870911, 536870912, 1073741822, 1073741824, INT32_MAX]) : 2 + int(30);
      const a = [pick(strings.slice(0, 12)), width, 2 + int(30)];
      if (int(2)) a.push(pick([30, 60, 30000, 0, undefined, NaN]));
      if (int(2)) a.push(pick([1, 1001, 0, -1, undefined]));
      if (int(2)) a.push(pick(['RGBA', 'UYVY', 'rgba', 5]));
      return a;
    }
    if ((fn === 'sendFrame' || fn === 'unmaskFrame') && int(2) === 0) {
      return fn === 'sendFrame' ? [view(model)] : [view(model), int(2) ? new Uint8Array(4) : view(model)];
    }
    const n = int(8);
    const list = [];
    for (let i = 0; i < n; i++) list.push(value(model));
    return list;
  }

  const weights = [['isAvailable', 1], ['isRunning', 1], ['stop', 1], ['start', 4], ['sendFrame', 5], ['unmaskFrame', 3]];
  const total = weights.reduce((s, [, w]) => s + w, 0);
  function fn() {
    let r = int(total);
    for (const [name, w] of weights) {
      if (r < w) return name;
      r -= w;
    }
    throw new Error('unreachable');
  }
  return { fn, args };
}

function describe(args) {
  return args.map((a) => {
    if (typeof a === 'string') return a.length > 40 ? `string(${a.length})` : JSON.stringify(a);
    if (typeof a === 'bigint') return `${a}n`;
    if (typeof a === 'symbol') return 'Symbol';
    if (typeof a === 'number') return Object.is(a, -0) ? '-0' : String(a);
    if (ArrayBuffer.isView(a)) return `${a.constructor.name}(${a.byteLength} bytes)`;
    if (a === null || a === undefined) return String(a);
    return Object.prototype.toString.call(a);
  }).join(', ');
}

function runPhase(q, model, rand) {
  const fuzz = makeFuzzer(rand);
  const counts = {};
  for (let i = 0; i < CALLS; i++) {
    const fn = fuzz.fn();
    const args = fuzz.args(fn, model);
    const want = EXPECT[fn](model, args);
    const where = `call ${i}: ${fn}(${describe(args)}) [seed ${SEED}]`;
    let got;
    let thrown;
    let threw = false;
    try {
      got = q[fn](...args);
    } catch (e) {
      threw = true;
      thrown = e;
    }
    if (want.Ctor) {
      assert.ok(threw, `${where}: expected ${want.Ctor.name} "${want.message}", got ${String(got)}`);
      assert.equal(Object.getPrototypeOf(thrown), want.Ctor.prototype, `${where}: ${thrown}`);
      assert.equal(thrown.message, want.message, where);
      assert.ok(!('code' in thrown), `${where}: exception has a code`);
      counts[`${fn} throws ${want.Ctor.name}`] = (counts[`${fn} throws ${want.Ctor.name}`] || 0) + 1;
    } else {
      assert.ok(!threw, `${where}: unexpected ${thrown}`);
      assert.equal(got, want.value, where);
      const key = `${fn} -> ${typeof got === 'object' ? 'buffer' : got}`;
      counts[key] = (counts[key] || 0) + 1;
    }
  }
  return counts;
}

function report(counts) {
  console.log(Object.entries(counts).sort().map(([k, v]) => `  ${k}: ${v}`).join('\n'));
}

test('fuzz without an NDI runtime', () => {
  registry.deleteMachineValue();
  const q = loadFreshAddon(dir);
  log.next();
  const model = { available: false, running: false, frameSize: 0n, creates: 0, sends: 0 };
  const counts = runPhase(q, model, uniform(SEED));
  report(counts);
  assert.deepEqual(log.next(), [], 'nothing reached a runtime');
  assert.ok(counts['start -> false'] > 0 && counts['sendFrame -> false'] > 0 && counts['unmaskFrame throws TypeError'] > 0);
});

test('fuzz with the stand-in NDI runtime', () => {
  registry.setMachineValue(path.resolve(standinDir('full')));
  const q = loadFreshAddon(dir);
  log.next();
  const model = { available: true, running: false, frameSize: 0n, creates: 0, sends: 0 };
  const counts = runPhase(q, model, uniform(SEED ^ 0x9e3779b9));
  q.stop();
  report(counts);
  // What reached the runtime matches the model: one sender per successful start, one frame
  // per successful send, and every frame the size the sender was started with.
  const ev = log.next();
  const creates = ev.filter((e) => e.event === 'send_create');
  const sends = ev.filter((e) => e.event === 'send_video');
  assert.equal(creates.length, model.creates);
  assert.equal(sends.length, model.sends);
  assert.equal(ev.filter((e) => e.event === 'send_destroy').length, model.creates);
  assert.deepEqual(ev.filter((e) => e.event === 'frame_changed'), []);
  for (const e of sends) assert.equal(BigInt(e.bytes), BigInt(e.stride) * BigInt(e.yres));
  for (const key of ['start -> true', 'sendFrame -> true', 'sendFrame throws TypeError', 'sendFrame throws Error',
    'start throws TypeError', 'unmaskFrame throws RangeError', 'unmaskFrame -> buffer']) {
    assert.ok(counts[key] > 0, `the fuzzer reached "${key}"`);
  }
});

test.after(() => {
  registry.deleteMachineValue();
});
