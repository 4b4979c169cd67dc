'use strict';
// The browser demo page in headless Chromium against the installed bridge under Wine:
// from an allowed origin every frame arrives byte-exact at the stand-in NDI runtime (the
// page hashes what it sends), a canvas as it stands with either capture, a video of it
// within a small tolerance, and the page stops cleanly; from an origin not allowed, or
// with a wrong token, nothing is published and the page shows the refusal. UYVY made in
// the page, in script and with WebGL2, is within a unit of BT.709 as written out below.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('../rig');
const { launchChromium } = require('../rig/chromium');

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
  assert.deepEqual([report.method, report.sending], ['webcodecs', 'worker']);
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

test('a canvas published as UYVY arrives byte-exact as UYVY, and a still one as the page converts it', async () => {
  const { report, frames } = await publishRun(`frames=${FRAMES}&fps=60&format=UYVY&conversion=script`);
  assert.deepEqual([report.format, report.conversion, report.method], ['UYVY', 'script', 'webcodecs']);
  assert.ok(new Set(report.hashes).size > 1, 'the frames follow the drawing');
  assert.deepEqual([frames[0].xres, frames[0].yres, frames[0].fourcc], ['320', '180', '0x59565955']);
  const still = await publishRun(`frames=${FRAMES}&still=1&format=UYVY&conversion=script&sending=page`);
  assert.deepEqual([...new Set(still.report.hashes), still.report.sending], [still.report.reference, 'page']);
});

// BT.709 in video range, each pair of pixels sharing the chroma of its mean colour.
function uyvyReference(rgba, width, height) {
  const out = new Uint8Array(width * height * 2);
  const luma = (r, g, b) => 16 + (219 / 255) * (0.2126 * r + 0.7152 * g + 0.0722 * b);
  for (let i = 0; i < width * height; i += 2) {
    const [r, g, b] = [0, 1, 2].map((k) => (rgba[i * 4 + k] + rgba[i * 4 + 4 + k]) / 2);
    out[i * 2] = Math.round(128 + (224 / 255) * (-0.2126 * r - 0.7152 * g + 0.9278 * b) / 1.8556);
    out[i * 2 + 1] = Math.round(luma(rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2]));
    out[i * 2 + 2] = Math.round(128 + (224 / 255) * (0.7874 * r - 0.7152 * g - 0.0722 * b) / 1.5748);
    out[i * 2 + 3] = Math.round(luma(rgba[i * 4 + 4], rgba[i * 4 + 5], rgba[i * 4 + 6]));
  }
  return out;
}

test('UYVY from a page, in script (red or blue first) and with WebGL2, is within a unit of BT.709', async () => {
  const browser = await launchChromium(path.join(work, 'chromium'));
  try {
    const page = await browser.openPage(`${servers.allowed.origin}/fnv.mjs`);
    // Black, white, the primaries and random colours, every pair of pixels unlike.
    const made = await page.evaluate(`(async () => {
      const { rgbToUyvy } = await import('/client/publish.mjs');
      const { webglUyvyConverter } = await import('/client/uyvy.mjs');
      const [width, height] = [256, 64];
      const canvas = new OffscreenCanvas(width, height);
      const context = canvas.getContext('2d', { willReadFrequently: true });
      const image = context.createImageData(width, height);
      const fixed = [[0, 0, 0], [255, 255, 255], [255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 0], [0, 255, 255], [255, 0, 255]];
      let seed = 12345;
      for (let i = 0; i < width * height; i++) {
        for (let k = 0; k < 3; k++) {
          seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
          image.data[i * 4 + k] = i < width ? fixed[(i >> 1) % fixed.length][k] : seed >>> 24;
        }
        image.data[i * 4 + 3] = 255;
      }
      context.putImageData(image, 0, 0);
      const rgba = context.getImageData(0, 0, width, height).data;
      const bgra = rgba.slice();
      for (let i = 0; i < bgra.length; i += 4) [bgra[i], bgra[i + 2]] = [rgba[i + 2], rgba[i]];
      return { width, height, rgba: Array.from(rgba), script: Array.from(rgbToUyvy(rgba, width, height)),
        blueFirst: Array.from(rgbToUyvy(bgra, width, height, undefined, false)),
        webgl: Array.from(webglUyvyConverter(width, height)(canvas)) };
    })()`);
    const reference = uyvyReference(made.rgba, made.width, made.height);
    assert.ok(Math.min(...reference) === 16 && Math.max(...reference) === 240, 'the pattern spans the range');
    for (const way of ['script', 'blueFirst', 'webgl']) {
      assert.equal(made[way].length, reference.length, way);
      const worst = made[way].reduce((most, byte, i) => Math.max(most, Math.abs(byte - reference[i])), 0);
      assert.ok(worst <= 1, `${way}: a byte ${worst} away from BT.709`);
    }
  } finally {
    await browser.close();
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
