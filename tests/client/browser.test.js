'use strict';
// The browser demo page in headless Chromium against the installed bridge under Wine:
// from an allowed origin every frame arrives byte-exact at the stand-in NDI runtime (the
// page hashes what it sends); from an origin not allowed, or with a wrong token, nothing
// is published and the page shows the refusal.
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
  ({ bridge, ndiLog } = await rig.startStandinBridge({
    dir: work,
    env: { KESTOVAR_BRIDGE_ORIGINS: `${servers.allowed.origin},${servers.wrongToken.origin}` },
  }));
});

test.after(async () => {
  if (bridge) await bridge.stop();
  for (const server of Object.values(servers)) await server.close();
});

test('a page from an allowed origin publishes every frame byte-exact', async () => {
  const report = await demo.runPage(servers.allowed, `frames=${FRAMES}&hash=1&width=320&height=180&fps=60&source=Browser%20test`);
  assert.equal(report.error, undefined, JSON.stringify(report.error));
  assert.deepEqual([report.state, report.shown, report.sent, report.dropped, report.bridgeFrames],
    ['done', `done: ${FRAMES} frames sent`, FRAMES, 0, FRAMES]);
  await rig.waitFor('the frames at the runtime', () => published().length >= FRAMES, 30000);
  assert.deepEqual(published().map((e) => e.fnv), report.hashes);
  const video = published()[0];
  assert.deepEqual([video.xres, video.yres, video.fourcc, video.rate], ['320', '180', '0x41424752', '60/1']);
  assert.ok(bridge.records().some((r) => r.event === 'client_connected' && r.origin === servers.allowed.origin));
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
