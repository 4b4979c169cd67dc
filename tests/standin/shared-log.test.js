'use strict';
// The stand-in's event log shared by two processes at once, each with its watcher thread
// logging beside the script thread: every line arrives whole, nothing is lost, and the
// initialisation count is per process.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const registry = require('../rig/registry.js');
const { ADDON, standinDir, standinEvents, workDir } = require('../addon/standin-log.js');

const CYCLES = 60;
const FRAMES = 5;

test('two processes append to one log without torn or lost lines', async () => {
  const dir = workDir('shared-log');
  const logFile = path.join(dir, 'standin.log');
  registry.setMachineValue(path.resolve(standinDir('full')));
  // Each frame is overwritten while the stand-in owns it, so its thread logs too.
  const script = `
    const q = require(${JSON.stringify(ADDON)});
    if (!q.isAvailable()) process.exit(3);
    for (let c = 0; c < ${CYCLES}; c++) {
      if (!q.start('shared ' + process.pid, 16, 16)) process.exit(4);
      for (let f = 0; f < ${FRAMES}; f++) {
        const b = Buffer.alloc(1024, f);
        if (!q.sendFrame(b)) process.exit(5);
        b.fill(255 - f);
      }
      q.stop();
    }`;
  const env = { ...process.env, NDI_STANDIN_LOG: logFile, NDI_STANDIN_WATCH_MS: '0' };
  const children = [0, 1].map((i) => new Promise((resolve, reject) => {
    const out = fs.openSync(path.join(dir, `child-${i}.out`), 'w');
    const child = spawn(process.execPath, ['-e', script], { env, stdio: ['ignore', out, out] });
    child.on('error', reject);
    child.on('exit', (code) => {
      fs.closeSync(out);
      resolve({ pid: child.pid, code });
    });
  }));
  const results = await Promise.all(children);
  registry.deleteMachineValue();
  for (const r of results) assert.equal(r.code, 0, fs.readFileSync(path.join(dir, `child-${results.indexOf(r)}.out`), 'utf8'));

  const events = standinEvents(logFile); // throws on any torn or interleaved line
  const pids = [...new Set(events.map((e) => e.pid))];
  assert.equal(pids.length, 2);
  for (const pid of pids) {
    const mine = events.filter((e) => e.pid === pid);
    const count = (name) => mine.filter((e) => e.event === name).length;
    assert.deepEqual(mine.filter((e) => e.event === 'initialize').map((e) => e.count), ['1']);
    assert.equal(count('send_create'), CYCLES);
    assert.equal(count('send_video'), CYCLES * FRAMES);
    assert.equal(count('frame_changed'), CYCLES * FRAMES, 'every overwritten frame was seen');
    assert.equal(count('flush'), CYCLES);
    assert.equal(count('send_destroy'), CYCLES);
  }
});
