'use strict';
// What the state file's permissions cost a bridge's start: writeState with them (icacls
// run on the new file) and without, in turn, in one run; median and maximum of each.
// Run it in the Windows node (under Wine: its icacls is a stub, so this is the cost of
// starting a process there, not of setting an ACL):
//   KESTOVAR_BUILD_DIR=$PWD/build $W bench/state-file.js >/tmp/state.txt 2>&1; cat /tmp/state.txt
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { writeState } = require('../app/src/state-file');
const { median } = require('./measure');

const ROUNDS = Number(process.argv[2] || 15);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-bench-'));
const state = { port: 17480, pid: process.pid, token: 'a'.repeat(64), started: new Date().toISOString() };
const times = { with: [], without: [] };
for (let round = 0; round < ROUNDS; round++) {
  for (const kind of ['with', 'without']) {
    const start = process.hrtime.bigint();
    if (kind === 'with') writeState(dir, state);
    else writeState(dir, state, () => {});
    times[kind].push(Number(process.hrtime.bigint() - start) / 1e6);
  }
}
fs.rmSync(dir, { recursive: true, force: true });
for (const kind of ['with', 'without']) {
  console.log(`writeState ${kind.padEnd(7)} permissions: median ${median(times[kind]).toFixed(1)} ms, max ${Math.max(...times[kind]).toFixed(1)} ms (${ROUNDS} rounds)`);
}
