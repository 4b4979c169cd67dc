'use strict';
// The addon's script API in the real node.exe, against the stand-in NDI runtime found
// through the prefix's machine registry value: exceptions, order of checks, coercions and
// defaults, frame sizes, the values the runtime receives, and the sender's lifecycle.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const registry = require('../rig/registry.js');
const { testFrame } = require('../rig/random.js');
const {
  standinDir, useStandinLog, toHex, fromHex, fnv1a64, workDir, loadFreshAddon,
  START_USAGE, SEND_USAGE, UNMASK_USAGE, MASK_LENGTH,
} = require('./standin-log.js');

const EXPORTS = ['isAvailable', 'start', 'sendFrame', 'stop', 'isRunning', 'unmaskFrame'];
const RGBA = '0x41424752';
const UYVY = '0x59565955';

const dir = workDir('script-api');
const log = useStandinLog(dir);
const FULL = path.resolve(standinDir('full'));

function events(name) {
  return log.next().filter((e) => name === undefined || e.event === name);
}

// The exact exception: class, message, no code; returns it so callers can compare objects.
function expectThrows(fn, Ctor, message) {
  let caught;
  let threw = false;
  try {
    fn();
  } catch (e) {
    threw = true;
    caught = e;
  }
  assert.ok(threw, `expected ${Ctor.name} "${message}"`);
  assert.equal(Object.getPrototypeOf(caught), Ctor.prototype);
  assert.equal(caught.message, message);
  assert.ok(!('code' in caught), 'exception carries no code');
  return caught;
}

function freshAddonWithRuntime() {
  registry.setMachineValue(FULL);
  const q = loadFreshAddon(dir);
  assert.equal(q.isAvailable(), true);
  log.next();
  return q;
}


// Every field of one send_video event, against the settings of the sender.
function assertFrameEvent(e, want) {
  assert.equal(e.event, 'send_video');
  assert.equal(e.mode, want.mode || 'async');
  assert.equal(e.xres, String(want.xres));
  assert.equal(e.yres, String(want.yres));
  assert.equal(e.fourcc, want.fourcc);
  assert.equal(e.rate, want.rate || '30/1');
  assert.equal(e.aspect, '0');
  assert.equal(e.format, '1');
  assert.equal(e.timecode, '9223372036854775807');
  assert.equal(e.stride, String(want.stride));
  assert.equal(e.metadata, 'null');
  assert.equal(e.timestamp, '0');
  assert.equal(e.bytes, String(want.stride * want.yres));
  if (want.fnv) assert.equal(e.fnv, want.fnv);
}

test('registration: six anonymous functions in order, and nothing happens at load', () => {
  registry.setMachineValue(FULL);
  log.next();
  const q = loadFreshAddon(dir);
  assert.deepEqual(Object.keys(q), EXPORTS);
  for (const name of EXPORTS) {
    const d = Object.getOwnPropertyDescriptor(q, name);
    assert.equal(typeof d.value, 'function', name);
    assert.equal(d.value.name, '', `${name}.name`);
    assert.ok(d.writable && d.enumerable && d.configurable, `${name} is a plain data property`);
  }
  assert.deepEqual(events(), [], 'loading the module does not look for the NDI runtime');
  assert.equal(q.isRunning(), false);
  assert.deepEqual(events(), [], 'isRunning does not load the runtime');
  assert.equal(q.isAvailable(), true);
  const first = events().filter((e) => e.event !== 'load');
  assert.deepEqual(first.map((e) => e.event), ['initialize']);
  assert.equal(first[0].result, '1');
});

test('without a runtime: every call answers false or true, only unmaskFrame throws', () => {
  registry.deleteMachineValue();
  const q = loadFreshAddon(dir);
  log.next();
  assert.equal(q.isAvailable(), false);
  // The runtime check comes before any argument check.
  assert.equal(q.start(), false);
  assert.equal(q.start(1, 2), false);
  assert.equal(q.start('name', 1920, 1080), false);
  assert.equal(q.isRunning(), false);
  assert.equal(q.sendFrame(), false);
  assert.equal(q.sendFrame('not a buffer'), false);
  assert.equal(q.sendFrame(Buffer.alloc(8294400)), false);
  assert.equal(q.stop(), true);
  assert.equal(q.stop(), true);
  assert.equal(q.isRunning(), false);
  // unmaskFrame depends on neither the runtime nor a sender.
  expectThrows(() => q.unmaskFrame(), TypeError, UNMASK_USAGE);
  expectThrows(() => q.unmaskFrame(Buffer.alloc(8), Buffer.alloc(3)), RangeError, MASK_LENGTH);
  const b = Buffer.alloc(8);
  assert.equal(q.unmaskFrame(b, Buffer.alloc(4)), b);
  assert.deepEqual(events(), [], 'nothing reached any runtime');

  // A value set while the process runs is found by the next call.
  registry.setMachineValue(FULL);
  assert.equal(q.isAvailable(), true);
  assert.deepEqual(events().map((e) => e.event), ['initialize']);
});

test('misuse: exact exception types and messages, fresh objects, documented order', () => {
  const q = freshAddonWithRuntime();
  // No sender: sendFrame answers false before looking at its argument.
  assert.equal(q.sendFrame(), false);
  assert.equal(q.sendFrame('x'), false);

  const a = expectThrows(() => q.start(), TypeError, START_USAGE);
  const b = expectThrows(() => q.start(), TypeError, START_USAGE);
  assert.notEqual(a, b, 'each throw creates a new object');
  for (const args of [
    ['name'], ['name', 1920], ['name', '1920', 1080], ['name', 1920, '1080'], [1920, 1920, 1080],
    [null, 1920, 1080], [undefined, 1920, 1080], ['name', 1920n, 1080], ['name', new Number(1920), 1080],
    [new String('name'), 1920, 1080], ['name', 1920, null], ['name', undefined, 1080],
  ]) {
    expectThrows(() => q.start(...args), TypeError, START_USAGE);
  }
  assert.equal(q.isRunning(), false);
  assert.deepEqual(events('send_create'), []);

  assert.equal(q.start('misuse', 64, 64), true);
  // A running sender answers true before any argument is looked at.
  assert.equal(q.start(), true);
  assert.equal(q.start(1, 2, 3), true);

  const s1 = expectThrows(() => q.sendFrame(), TypeError, SEND_USAGE);
  const s2 = expectThrows(() => q.sendFrame(), TypeError, SEND_USAGE);
  assert.notEqual(s1, s2);
  for (const arg of [undefined, null, 'abc', 16384, new ArrayBuffer(16384), [1, 2, 3], { length: 16384 }]) {
    expectThrows(() => q.sendFrame(arg), TypeError, SEND_USAGE);
  }
  // A DataView passes Node's buffer test but has no typed-array view: one plain Error with
  // Node-API's last error message, and nothing is sent.
  expectThrows(() => q.sendFrame(new DataView(new ArrayBuffer(16384))), Error, 'Invalid argument');
  assert.deepEqual(events('send_video'), []);
  assert.equal(q.sendFrame(Buffer.alloc(16384)), true);
  assert.equal(events('send_video').length, 1);

  const buf = Buffer.from([1, 2, 3, 4, 5, 6, 7, 8]);
  expectThrows(() => q.unmaskFrame(buf), TypeError, UNMASK_USAGE);
  expectThrows(() => q.unmaskFrame(buf, 'abcd'), TypeError, UNMASK_USAGE);
  expectThrows(() => q.unmaskFrame([1, 2, 3, 4], Buffer.alloc(4)), TypeError, UNMASK_USAGE);
  expectThrows(() => q.unmaskFrame(buf, Buffer.alloc(3)), RangeError, MASK_LENGTH);
  expectThrows(() => q.unmaskFrame(buf, new Uint16Array(1)), RangeError, MASK_LENGTH);
  assert.equal(q.unmaskFrame(buf, new Uint32Array(1)), buf, 'a 4-byte Uint32Array is a mask');
  const before = Buffer.from(buf);
  expectThrows(() => q.unmaskFrame(new DataView(buf.buffer, buf.byteOffset, 8), Buffer.from([1, 1, 1, 1])),
    Error, 'Invalid argument');
  expectThrows(() => q.unmaskFrame(buf, new DataView(new ArrayBuffer(4))), Error, 'Invalid argument');
  assert.deepEqual(buf, before, 'no byte changed');
  assert.equal(q.stop(), true);
});

test('start: defaults and 32-bit integer coercions reach the runtime', () => {
  const q = freshAddonWithRuntime();
  const rgba = Buffer.alloc(1920 * 1080 * 4);
  const uyvy = Buffer.alloc(1920 * 1080 * 2);
  const accepted = [
    [['n', 1920.9, 1080], { xres: 1920, yres: 1080, rate: '30/1', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, 1080.99, 29.97], { xres: 1920, yres: 1080, rate: '29/1', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, 1080, 30000, 1001], { xres: 1920, yres: 1080, rate: '30000/1001', fourcc: RGBA, stride: 7680 }],
    [['n', 2 ** 32 + 1920, 1080], { xres: 1920, yres: 1080, rate: '30/1', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, -(2 ** 32) + 1080], { xres: 1920, yres: 1080, rate: '30/1', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, 1080, 2 ** 32 + 50, 2 ** 33 + 1], { xres: 1920, yres: 1080, rate: '50/1', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, 1080, undefined, undefined, 'UYVY'], { xres: 1920, yres: 1080, rate: '30/1', fourcc: UYVY, stride: 3840 }],
    [['n', 1920, 1080, '60', null, 'UYVY'], { xres: 1920, yres: 1080, rate: '30/1', fourcc: UYVY, stride: 3840 }],
    [['n', 1920, 1080, 60, 1, 'RGBA', 'ignored', 99], { xres: 1920, yres: 1080, rate: '60/1', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, 1080, 25, 2, 7], { xres: 1920, yres: 1080, rate: '25/2', fourcc: RGBA, stride: 7680 }],
    [['n', 1920, 1080, 25, 1, new String('UYVY')], { xres: 1920, yres: 1080, rate: '25/1', fourcc: RGBA, stride: 7680 }],
  ];
  for (const [args, want] of accepted) {
    const label = JSON.stringify(args, (k, v) => (v === undefined ? 'undefined' : v));
    assert.equal(q.start(...args), true, label);
    assert.equal(q.isRunning(), true, label);
    const frame = want.fourcc === RGBA ? rgba : uyvy;
    assert.equal(q.sendFrame(frame), true, label);
    q.stop();
    const sent = events('send_video');
    assert.equal(sent.length, 1, label);
    assertFrameEvent(sent[0], { ...want, fnv: fnv1a64(frame) });
  }

  const refused = [
    ['n', NaN, 1080], ['n', 1920, Infinity], ['n', -0, 1080], ['n', 1920, -0],
    ['n', 1920, 1080, NaN], ['n', 1920, 1080, Infinity], ['n', 1920, 1080, -0],
    ['n', 1920, 1080, 30, -Infinity], ['n', 1, 1080], ['n', 1920, 1], ['n', 1920, 1080, 0],
    ['n', 1920, 1080, 30, 0], ['n', 1920, 1080, -30, -1], ['n', 2 ** 31, 1080],
    ['n', 1921, 1080, 30, 1, 'UYVY'], ['n', 1920, 1080, 30, 1, 'rgba'], ['n', 1920, 1080, 30, 1, 'RGBA '],
    ['n', 1920, 1080, 30, 1, ''], ['n', 1920, 1080, 30, 1, 'RGBA\0'],
  ];
  for (const args of refused) {
    assert.equal(q.start(...args), false, String(args));
    assert.equal(q.isRunning(), false, String(args));
  }
  assert.deepEqual(events(), [], 'a refused start creates no sender');

  assert.equal(q.start('odd', 1921, 1080, 30, 1, 'RGBA'), true, 'RGBA takes any width');
  assert.equal(q.sendFrame(Buffer.alloc(1921 * 1080 * 4)), true);
  q.stop();
  assertFrameEvent(events('send_video')[0], { xres: 1921, yres: 1080, fourcc: RGBA, stride: 7684 });
});

test('frame sizes: the byte length must equal the frame size', () => {
  const q = freshAddonWithRuntime();
  assert.equal(q.start('sizes', 1920, 1080), true);
  const size = 8294400;
  assert.equal(q.sendFrame(Buffer.alloc(size - 1)), false);
  assert.equal(q.sendFrame(Buffer.alloc(size + 1)), false);
  assert.equal(q.sendFrame(new Uint8Array(1920 * 1080)), false, 'element count is not the byte length');
  assert.deepEqual(events('send_video'), [], 'a refused frame is not sent');
  const views = [
    Buffer.alloc(size), new Uint32Array(1920 * 1080), new Float64Array(1920 * 1080 / 2),
    new Int16Array(1920 * 1080 * 2), new BigUint64Array(1920 * 1080 / 2), new Uint8ClampedArray(size),
  ];
  for (const v of views) assert.equal(q.sendFrame(v), true, v.constructor.name);
  // A view that starts inside its ArrayBuffer: the runtime gets its first element.
  const backing = testFrame(size + 64, 7);
  const inner = backing.subarray(32, 32 + size);
  assert.equal(q.sendFrame(inner), true);
  const sent = events('send_video');
  assert.equal(sent.length, views.length + 1);
  assert.equal(sent.at(-1).fnv, fnv1a64(inner));
  q.stop();

  assert.equal(q.start('sizes', 1920, 1080, 30, 1, 'UYVY'), true);
  assert.equal(q.sendFrame(Buffer.alloc(4147200 - 1)), false);
  assert.equal(q.sendFrame(Buffer.alloc(4147200 + 1)), false);
  assert.equal(q.sendFrame(Buffer.alloc(8294400)), false);
  assert.equal(q.sendFrame(Buffer.alloc(4147200)), true);
  assert.equal(q.sendFrame(new Uint16Array(1920 * 1080)), true);
  q.stop();
  const uyvy = events('send_video');
  assert.equal(uyvy.length, 2);
  for (const e of uyvy) assertFrameEvent(e, { xres: 1920, yres: 1080, fourcc: UYVY, stride: 3840 });
});

test('the runtime receives the name, the settings and the exact frame bytes', () => {
  const q = freshAddonWithRuntime();
  for (const name of ['Studio – Kamera ✓ 𝄞', '', 'two words', 'lone \ud800 surrogate']) {
    assert.equal(q.start(name, 320, 240, 50, 1, 'UYVY'), true);
    const frames = [testFrame(320 * 240 * 2, 1), testFrame(320 * 240 * 2, 2), testFrame(320 * 240 * 2, 3)];
    for (const f of frames) assert.equal(q.sendFrame(f), true);
    q.stop();
    const ev = events();
    const create = ev.filter((e) => e.event === 'send_create');
    assert.equal(create.length, 1);
    // Lone surrogates reach the runtime as U+FFFD, as Buffer.from writes them too.
    assert.equal(create[0].name, toHex(name));
    assert.equal(create[0].groups, 'null');
    assert.equal(create[0].clock_video, '0');
    assert.equal(create[0].clock_audio, '0');
    const sent = ev.filter((e) => e.event === 'send_video');
    assert.equal(sent.length, 3);
    sent.forEach((e, i) => {
      assert.equal(e.instance, create[0].instance);
      assertFrameEvent(e, { xres: 320, yres: 240, fourcc: UYVY, rate: '50/1', stride: 640, fnv: fnv1a64(frames[i]) });
    });
    assert.deepEqual(ev.filter((e) => e.event === 'frame_changed'), []);
    assert.deepEqual(ev.slice(-2).map((e) => e.event), ['flush', 'send_destroy']);
  }
});

test('lifecycle: start while running keeps settings, stop destroys once, restart', () => {
  const q = freshAddonWithRuntime();
  assert.equal(q.start('first', 64, 48), true);
  assert.equal(q.start('second', 640, 480, 60, 1, 'UYVY'), true);
  assert.equal(q.start('third', 1, 1), true);
  assert.equal(q.sendFrame(Buffer.alloc(640 * 480 * 2)), false, 'the second settings were not taken');
  assert.equal(q.sendFrame(Buffer.alloc(64 * 48 * 4)), true);
  let ev = events();
  assert.deepEqual(ev.filter((e) => e.event === 'send_create').map((e) => fromHex(e.name)), ['first']);
  const firstInstance = ev[0].instance;
  assertFrameEvent(ev.find((e) => e.event === 'send_video'), { xres: 64, yres: 48, fourcc: RGBA, stride: 256 });

  assert.equal(q.stop(), true);
  assert.equal(q.isRunning(), false);
  assert.equal(q.stop(), true);
  assert.equal(q.sendFrame(Buffer.alloc(64 * 48 * 4)), false, 'no sender after stop');
  assert.equal(q.sendFrame(), false, 'argument not looked at after stop');
  ev = events();
  assert.deepEqual(ev.map((e) => e.event), ['flush', 'send_destroy'], 'one flush, one destroy');
  assert.equal(ev[1].frames, '1');

  assert.equal(q.start('again', 640, 480, 60, 1, 'UYVY'), true, 'a new start after stop');
  assert.equal(q.sendFrame(Buffer.alloc(640 * 480 * 2)), true);
  q.stop();
  ev = events();
  assert.equal(fromHex(ev[0].name), 'again');
  assertFrameEvent(ev[1], { xres: 640, yres: 480, fourcc: UYVY, rate: '60/1', stride: 1280 });
  assert.notEqual(ev[0].instance, firstInstance, 'a new sender instance');
});

test('sender refused by the runtime: start answers false, nothing runs', () => {
  const q = freshAddonWithRuntime();
  process.env.NDI_STANDIN_CREATE_REFUSE = '1';
  try {
    assert.equal(q.start('refused', 64, 48), false);
    assert.equal(q.isRunning(), false);
    assert.equal(q.sendFrame(Buffer.alloc(64 * 48 * 4)), false);
    assert.equal(q.stop(), true);
    const ev = events();
    assert.deepEqual(ev.map((e) => e.event), ['send_create']);
    assert.equal(ev[0].result, 'null');
  } finally {
    delete process.env.NDI_STANDIN_CREATE_REFUSE;
  }
  assert.equal(q.start('accepted', 64, 48), true);
  q.stop();
});

test('a line stride beyond 32 bits is refused; the 64-bit frame size is compared', () => {
  const q = freshAddonWithRuntime();
  assert.equal(q.start('wide', 536870912, 2), false, 'RGBA stride 2^31 does not fit');
  assert.equal(q.start('wide', 1073741824, 2, 30, 1, 'UYVY'), false, 'UYVY stride 2^31 does not fit');
  assert.deepEqual(events(), []);
  // Stride 2^31-4 fits; with 2^30 lines the frame is 2^61-2^32 bytes, whose low 32 bits are
  // zero: an empty buffer must not pass for it.
  for (const args of [['wide', 536870911, 2 ** 30], ['wide', 1073741822, 2 ** 30, 30, 1, 'UYVY']]) {
    assert.equal(q.start(...args), true);
    assert.equal(q.sendFrame(Buffer.alloc(0)), false);
    assert.equal(q.sendFrame(Buffer.alloc(2147483644 % 65536)), false);
    assert.equal(q.sendFrame(new Uint8Array(16)), false);
    q.stop();
    const ev = events();
    assert.deepEqual(ev.map((e) => e.event), ['send_create', 'flush', 'send_destroy']);
    assert.equal(ev[2].frames, '0');
  }
});

test('the stand-in keeps the last frame for the demo (frame directory)', () => {
  const q = freshAddonWithRuntime();
  const frameDir = path.join(dir, 'frames');
  fs.mkdirSync(frameDir, { recursive: true });
  process.env.NDI_STANDIN_FRAME_DIR = frameDir;
  try {
    assert.equal(q.start('frames', 64, 48), true);
  } finally {
    delete process.env.NDI_STANDIN_FRAME_DIR;
  }
  const last = testFrame(64 * 48 * 4, 9);
  assert.equal(q.sendFrame(testFrame(64 * 48 * 4, 8)), true);
  assert.equal(q.sendFrame(last), true);
  q.stop();
  assert.deepEqual(fs.readFileSync(path.join(frameDir, 'last-frame.raw')), last);
  const info = JSON.parse(fs.readFileSync(path.join(frameDir, 'last-frame.json'), 'utf8'));
  assert.equal(info.xres, 64);
  assert.equal(info.yres, 48);
  assert.equal(info.fourcc, 'RGBA');
  assert.equal(info.stride, 256);
  assert.equal(info.frames, 2);
  assert.ok(info.first_ms > 0 && info.last_ms >= info.first_ms);
});

test.after(() => {
  registry.deleteMachineValue();
});
