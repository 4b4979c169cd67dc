'use strict';
// A long run of the whole chain under Wine that shows nothing leaks or goes astray: an
// application sends frames as fast as the bridge takes them, reconnecting at intervals so
// that sessions start and end under load, while the stand-in NDI runtime checks a sample
// of the frames byte-exact and counts them all. It prints the frames, the rate, any
// corrupted or lost frame, the bridge's memory (after a forced collection) and handles at
// the start, the end and their maximum, and a verdict line.
//
// Command (after a build; it stages the installation tree itself):
//   node bench/soak.js [BUILD_DIR] [FRAMES]
// e.g. node bench/soak.js build 100000
// Pass: as tests/rig/soak.js says.
const path = require('node:path');
const { runSoak, WIDTH, HEIGHT } = require('../tests/rig/soak');

async function main() {
  const { buildDir, rig, stageTree } = require('./rig');
  const frames = Number(process.argv[3] || 100000);
  stageTree('soak');
  console.log(`soak: ${frames} frames of ${WIDTH}x${HEIGHT} RGBA, a new session every 10000, every 1000th frame checked`);
  const r = await runSoak({ rig, dir: path.join(buildDir, 'bench', 'soak'), frames, log: console.log });
  const mb = (bytes) => (bytes / 1e6).toFixed(1);
  console.log(`frames sent ${r.frames}, received ${r.received} (lost ${r.lost}), checked ${r.checked}, corrupted ${r.corrupted}`);
  console.log(`rate ${r.fps.toFixed(1)} fps over ${r.seconds.toFixed(1)} s`);
  console.log(`bridge memory after 1000 frames ${mb(r.rss.start)} MB, at the end ${mb(r.rss.end)} MB, max ${mb(r.rss.max)} MB`);
  console.log(`bridge handles (Wine descriptors) ${r.fds.start} -> ${r.fds.end} (max ${r.fds.max}); active resources ${r.resources.start} -> ${r.resources.end}`);
  console.log(`log records ${r.records}, broken ${r.brokenRecords}`);
  console.log(`RESULT: soak ${r.pass ? 'PASSED' : 'FAILED'}`);
  process.exitCode = r.pass ? 0 : 1;
}

if (require.main === module) {
  main().catch((e) => {
    console.error(`soak: ${e.stack || e}`);
    process.exit(1);
  });
}

