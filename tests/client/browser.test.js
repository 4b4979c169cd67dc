'use strict';
// The browser demo page in headless Chromium against the installed bridge under Wine:
// from an allowed origin every frame arrives byte-exact at the stand-in NDI runtime (the
// page hashes what it sends), a canvas as it stands with either capture, a video of it
// within a small tolerance, and the page stops cleanly; from an origin not allowed, or
// with a wrong token, nothing is published and the page shows the refusal.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('../rig');

const work = rig.workDir('client', 'browser');
const FRAMES = 12;
let demo;
let bridge;
let ndiLog;
const servers = {};

const published = () => ndiLog.all().filter((e) => e.event === 'send_video' && e.fnv !== 'null');

test.before(async () => {
  demo = await import(path.join(rig.SOURCE_DIR, 'demo', 'browser-server.mjs'));
  // The servers read the state file when the page asks, so they may start first: the
  // bridge must know their origins when it starts.
  const stateFile = path.join(work, 'state', 'bridge.json');
  servers.allowed = await demo.startDemoServer({ stateFile });
  servers.foreign = await demo.startDemoServer({ stateFile });
  servers.wrongToken = await demo.startDemoServer({ stateFile, token: 'f'.repeat(64) });
  // The pages' origins are allowed by the user's settings file alone.
  ({ bridge, ndiLog } = await rig.startStandinBridge({
    dir: work, settings: { origins: [servers.allowed.origin, servers.wrongToken.origin] },
  }));
});

test.after(async () => {
  if (bridge) await bridge.stop();
  for (const server of Object.values(servers)) await server.close();
});

// Runs the page and checks what every publishing run must show: the frames it sent
// arrived byte-exact, it said so, and it closed its session in order.
async function publishRun(query) {
  const before = published().length;
  const closes = bridge.records().filter((r) => r.event === 'session_end').length;
  const report = await demo.runPage(servers.allowed, `hash=1&width=320&height=180&${query}`);
  assert.equal(report.error, undefined, JSON.stringify(report.error));
  assert.ok(report.sent >= FRAMES && report.hashes.length === report.sent, `${report.sent} frames sent`);
  assert.deepEqual([report.state, report.shown, report.closed], ['done', `done: ${report.sent} frames sent`, null]);
  await rig.waitFor('the session to end', () => bridge.records().filter((r) => r.event === 'session_end').length > closes, 30000);
  const frames = published().slice(before);
  assert.deepEqual(frames.map((e) => e.fnv), report.hashes);
  const end = bridge.records().filter((r) => r.event === 'session_end').at(-1);
  assert.deepEqual([end.reason, Number(end.frames)], ['client closed', report.sent]);
  return { report, frames };
}

test('a page from an allowed origin publishes a moving canvas byte-exact, and stops cleanly', async () => {
  const { report, frames } = await publishRun(`frames=${FRAMES}&fps=60&source=Browser%20test`);
  assert.equal(report.method, 'webcodecs');
  assert.ok(new Set(report.hashes).size > 1, 'the frames follow the drawing');
  assert.deepEqual([frames[0].xres, frames[0].yres, frames[0].fourcc, frames[0].rate], ['320', '180', '0x41424752', '60/1']);
  assert.ok(bridge.records().some((r) => r.event === 'client_connected' && r.origin === servers.allowed.origin));
  assert.equal(bridge.alive(), true);
});

test('a still canvas arrives as getImageData reads it, with WebCodecs and without', async () => {
  for (const capture of ['webcodecs', 'getImageData']) {
    const { report } = await publishRun(`frames=${FRAMES}&still=1&capture=${capture}`);
    assert.equal(report.method, capture);
    assert.deepEqual(new Set(report.hashes), new Set([report.reference]), capture);
  }
});

test('a video of the canvas, as an element or a track, arrives with the bars\' colours', async () => {
  const bars = [[192, 192, 192], [192, 192, 0], [0, 192, 192], [0, 192, 0], [192, 0, 192], [192, 0, 0], [0, 0, 192]];
  for (const video of ['element', 'track']) {
    const { report } = await publishRun(`frames=${FRAMES}&still=1&video=${video}`);
    for (const frame of report.samples) {
      const off = frame.flatMap((rgb, i) => rgb.map((c, k) => Math.abs(c - bars[i][k])));
      assert.ok(Math.max(...off) <= 12, `${video}: ${JSON.stringify(frame)}`);
    }
  }
});

test('a page from an origin not allowed publishes nothing and shows the refusal', async () => {
  const before = published().length;
  const report = await demo.runPage(servers.foreign, 'frames=5');
  assert.equal(report.error.code, 'origin_refused');
  assert.equal(report.state, 'refused');
  assert.match(report.shown, /^refused: the bridge at ws:\/\/127\.0\.0\.1:\d+\/ refused .*KESTOVAR_BRIDGE_ORIGINS \[origin_refused\]$/);
  assert.ok(bridge.records().some((r) => r.event === 'handshake_refused' && r.status === '403'));
  assert.equal(published().length, before);
});

test('a page with a wrong token publishes nothing and shows the refusal', async () => {
  const before = published().length;
  const senders = ndiLog.all().filter((e) => e.event === 'send_create').length;
  const report = await demo.runPage(servers.wrongToken, 'frames=5');
  assert.equal(report.error.code, 'bad_token');
  assert.match(report.shown, /^refused: bad token: .* \[bad_token\]$/);
  assert.equal(published().length, before);
  assert.equal(ndiLog.all().filter((e) => e.event === 'send_create').length, senders);
  assert.equal(bridge.alive(), true);
});
