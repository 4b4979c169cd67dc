'use strict';
// bench/latency.js runs: a tiny run (a fifth of a second per case) through the whole chain
// prints a row for every case with every stamped frame arrived, latencies on one clock,
// and its RESULT line. Its timings are the benchmark's business, not this test's: on a
// loaded machine a drop case may drop each of its few frames, and its row says so.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const rig = require('../rig');

test('the latency benchmark runs end to end', () => {
  const output = execFileSync(process.execPath, [path.join(rig.SOURCE_DIR, 'bench', 'latency.js'), rig.BUILD_DIR, '0.2'],
    { encoding: 'utf8', timeout: 240000 });
  const rows = [...output.matchAll(/^(\S+ \S+ \S+(?:, round \d)?)\s+([\d.]+|-)\s+(?:[\d.]+|-)\s+(?:[\d.]+|-)\s+([\d.]+|-)\s+(\d+)\s+(\d+)\s+([\d.]+|-)$/gm)];
  assert.deepEqual(rows.map((r) => r[1]), ['1080p60 RGBA wait', '1080p60 RGBA drop', '1080p60 UYVY wait', '1080p60 UYVY drop',
    '2160p30 RGBA wait', '2160p30 RGBA drop', ...[1, 2, 3].flatMap((n) => [`1080p60 RGBA wait, round ${n}`, `1080p60 RGBA raw, round ${n}`])], output);
  for (const [, label, p50, max, dropped, lost, cpu] of rows) {
    assert.equal(lost, '0', `${label}: every frame sent arrived`);
    if (p50 === '-') {
      assert.ok(label.endsWith(' drop') && Number(dropped) > 0, `${label}: no frame arrived, and none was dropped`);
      continue;
    }
    assert.ok(Number(p50) > 0 && Number(max) >= Number(p50) && Number(cpu) > 0, `${label}: ${p50} ${max} ${cpu}`);
  }
  assert.doesNotMatch(output, /negative latency/);
  assert.match(output, /^RESULT: latency 1080p60 RGBA p50 [\d.]+ p99 [\d.]+; 2160p30 RGBA p50 [\d.]+ p99 [\d.]+; library CPU [\d.]+\/frame vs raw [\d.]+\/frame$/m);
});
