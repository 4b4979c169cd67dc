'use strict';
// What one frame's capture costs a page, for each way the publishing helpers
// (client/publish.mjs) may take it, side by side in one headless Chromium: a canvas as a
// VideoFrame copied as it is (BGRX here), copied with copyTo converting to RGBA, the
// swap in script the helpers fall back to, and getImageData; a <video> playing the
// canvas's captureStream() as a VideoFrame converted by copyTo, and drawn and read back.
// Medians of ROUNDS captures each, in milliseconds. No bridge is needed.
//
// Command:  node bench/capture.js [WIDTHxHEIGHT] [ROUNDS]   (default 1920x1080 30)
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { launchChromium } = require('../tests/rig/chromium.js');

const [width, height] = (process.argv[2] || '1920x1080').split('x').map(Number);
const rounds = Number(process.argv[3] || 30);

// Runs in the page.
async function measure(width, height, rounds) {
  const { toRgba } = await import('/client/publish.mjs');
  const canvas = Object.assign(document.createElement('canvas'), { width, height });
  const context = canvas.getContext('2d', { alpha: false });
  context.fillStyle = '#c00010';
  context.fillRect(0, 0, width, height);
  const buffer = new Uint8Array(width * height * 4);
  const reader = Object.assign(document.createElement('canvas'), { width, height }).getContext('2d', { willReadFrequently: true });
  const video = Object.assign(document.createElement('video'), { muted: true, srcObject: canvas.captureStream(30) });
  await video.play();
  await new Promise((resolve) => setTimeout(resolve, 500));
  const frameOf = (source) => new VideoFrame(source, { timestamp: 0 });
  const cases = {
    'canvas: VideoFrame, copyTo as it is': async () => { const f = frameOf(canvas); await f.copyTo(buffer); f.close(); },
    'canvas: VideoFrame, copyTo RGBA': async () => { const f = frameOf(canvas); await f.copyTo(buffer, { format: 'RGBA' }); f.close(); },
    'canvas: swap in script (toRgba BGRX)': async () => toRgba(buffer, 'BGRX'),
    'canvas: getImageData': async () => context.getImageData(0, 0, width, height),
    'video: VideoFrame, copyTo RGBA': async () => { const f = frameOf(video); await f.copyTo(buffer, { format: 'RGBA' }); f.close(); },
    'video: drawImage, getImageData': async () => { reader.drawImage(video, 0, 0); reader.getImageData(0, 0, width, height); },
  };
  const { format } = frameOf(canvas);
  const times = Object.fromEntries(Object.keys(cases).map((name) => [name, []]));
  for (let round = 0; round <= rounds; round++) {
    for (const [name, run] of Object.entries(cases)) {
      const start = performance.now();
      await run();
      if (round > 0) times[name].push(performance.now() - start); // round 0 warms up
    }
  }
  const median = (list) => list.sort((a, b) => a - b)[Math.floor(list.length / 2)];
  return { format, medians: Object.fromEntries(Object.entries(times).map(([name, list]) => [name, median(list)])) };
}

async function main() {
  const { startDemoServer } = await import('../demo/browser-server.mjs');
  // The page only needs an origin of its own that serves the client; it finds no bridge.
  const server = await startDemoServer({ stateFile: path.join(__dirname, 'no-bridge.json') });
  const profile = path.join(os.tmpdir(), `kestovar-capture-${process.pid}`);
  const browser = await launchChromium(profile);
  try {
    const page = await browser.openPage(`${server.origin}/?frames=0`);
    const { format, medians } = await page.evaluate(`(${measure})(${width}, ${height}, ${rounds})`);
    console.log(`capture of one ${width}x${height} frame in headless Chromium (canvas frames are ${format}), median of ${rounds}:`);
    for (const [name, ms] of Object.entries(medians)) console.log(`  ${name.padEnd(40)} ${ms.toFixed(2)} ms`);
  } finally {
    await browser.close();
    await server.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(`capture benchmark: ${error.message}`);
  process.exitCode = 1;
});
