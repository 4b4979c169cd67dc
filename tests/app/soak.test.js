'use strict';
// A short soak of the whole chain (bench/soak.js runs the long one): a few thousand
// frames over several sessions, none lost or corrupted, memory and handles flat, the log
// whole. A leak that shows early fails here.
const test = require('node:test');
const assert = require('node:assert/strict');
const rig = require('../rig');
const { runSoak } = require('../rig/soak');

test('3,000 frames over three sessions: none lost or corrupted, nothing grows', async () => {
  const r = await runSoak({
    rig, dir: rig.workDir('app', 'soak'),
    frames: 3000, reconnectEvery: 1000, sampleEvery: 100, statsEvery: 100,
  });
  assert.deepEqual([r.received, r.lost, r.checked, r.corrupted, r.brokenRecords], [3000, 0, 30, 0, 0]);
  assert.ok(r.rss.end <= r.rss.start * 1.1, `memory ${r.rss.start} -> ${r.rss.end}`);
  assert.ok(r.fds.end <= r.fds.start + 2 && r.resources.end <= r.resources.start + 2, JSON.stringify([r.fds, r.resources]));
  assert.equal(r.pass, true);
});
