'use strict';
// What an open status page costs the chain: 1920x1080 RGBA frames through the whole
// chain (as bench/chain.js sends them) with no page open and with the page open in
// headless Chromium (status every second, a thumbnail twice a second), in turn, in one
// run on one bridge. Prints frames per second and bridge CPU time per frame for each
// round, and the median over the rounds of each round's change against its own no-page
// figure: other work on the machine moves the figures from round to round, and a round's
// two cases run back to back, in turns. Then, as a figure that other work on the machine hardly
// moves, the bridge CPU time one second of an open page takes (a status and two
// thumbnails, each of a new frame), against the bridge CPU time of one second of 1080p
// at the rate it reached.
//
// Command (after a build):
//   node bench/status-page.js [BUILD_DIR] [SECONDS_PER_ROUND] [ROUNDS]   (default build 3 10)
// Goal: the page open costs no more than 3% of the frames per second.
const path = require('node:path');
const os = require('node:os');
const http = require('node:http');
const { startBenchBridge, request, buildDir, rig } = require('./rig');
const { runCase } = require('./chain');
const { median, processCpuMs } = require('./measure');
const { launchChromium } = require('../tests/rig/chromium');

const seconds = Number(process.argv[3] || 3);
const rounds = Number(process.argv[4] || 10);

function get(port, route) {
  return new Promise((resolve, reject) => http.get({ host: '127.0.0.1', port, path: route }, (response) => {
    response.resume();
    response.on('end', () => resolve(response.statusCode));
  }).on('error', reject));
}

// Bridge CPU ms for `count` frames, each followed by a stats round trip (so that it has
// been handed to the runtime) and, withPage, by the requests of half a second of an open
// page: a thumbnail of that new frame, and a status every other time.
async function frameLoopCpuMs(client, frames, port, count, withPage, stats) {
  const before = await request(client, 'stats', stats.count++);
  for (let i = 0; i < count; i++) {
    await client.write(frames[i % frames.length]);
    await request(client, 'stats', stats.count++);
    if (withPage) {
      if ((await get(port, '/thumbnail.png')) !== 200) throw new Error('no thumbnail');
      if (i % 2 === 0) await get(port, '/status.json');
    }
  }
  const after = await request(client, 'stats', stats.count++);
  return (after.cpuUserUs + after.cpuSystemUs - before.cpuUserUs - before.cpuSystemUs) / 1000;
}

async function pageSecondCpuMs(port) {
  const client = await rig.rawConnect(port);
  const hello = { token: rig.tokens.get(port), source: 'bench', width: 1920, height: 1080, fpsN: 60, format: 'RGBA' };
  await client.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(hello))));
  await client.until('ready', () => (client.text().includes('"ready"') ? true : undefined));
  const frames = [1, 2].map((n) => rig.maskedFrame(2, rig.testFrame(1920 * 1080 * 4, n)));
  const stats = { count: 0 };
  const costs = [];
  for (let round = 0; round < 5; round++) {
    const plain = await frameLoopCpuMs(client, frames, port, 40, false, stats);
    const withPage = await frameLoopCpuMs(client, frames, port, 40, true, stats);
    // 40 frames with a page's half second each: 20 page seconds.
    costs.push((withPage - plain) / 20);
  }
  await client.write(rig.maskedFrame(8, Buffer.from([0x03, 0xe8])));
  await client.closed(30000);
  return median(costs);
}

async function main() {
  const bridge = await startBenchBridge('status-page');
  const profileDir = path.join(buildDir, 'bench', 'status-page', 'chromium');
  const browser = await launchChromium(profileDir);
  const browserShare = [];
  try {
    console.log(`bench: ${seconds} s per round, ${rounds} rounds each way, ${os.cpus().length} cores, bridge under Wine`);
    console.log('page      round     fps  bridge CPU ms/frame  thumbnails  Chromium CPU % of a core');
    const results = { closed: [], open: [] };
    for (let round = 1; round <= rounds; round++) {
      // Every other round opens the page first, so that a drift of the machine's load
      // does not favour either.
      for (const state of round % 2 ? ['closed', 'open'] : ['open', 'closed']) {
        let page = null;
        if (state === 'open') page = await browser.openPage(`http://127.0.0.1:${bridge.port}/`);
        const ofChromium = (commandLine) => (commandLine.includes(profileDir) ? 'all' : null);
        const chromiumCpuMs = processCpuMs(ofChromium).all ?? 0;
        const started = performance.now();
        const r = await runCase(bridge.port, 'RGBA', 1920, 1080, seconds);
        const share = ((processCpuMs(ofChromium).all ?? 0) - chromiumCpuMs) / (performance.now() - started) * 100;
        let shown = '';
        if (page) {
          shown = String(await page.evaluate("Number(document.getElementById('thumbnail').dataset.loaded || 0)"));
          await page.close();
          browserShare.push(share);
        }
        results[state].push(r);
        console.log(`${state.padEnd(8)} ${String(round).padStart(6)} ${r.fps.toFixed(1).padStart(7)}` +
          ` ${r.bridgeCpuMsPerFrame.toFixed(2).padStart(20)} ${shown.padStart(11)} ${(page ? share.toFixed(1) : '').padStart(25)}`);
      }
    }
    const fps = (state) => median(results[state].map((r) => r.fps));
    const cpu = (state) => median(results[state].map((r) => r.bridgeCpuMsPerFrame));
    const change = median(results.open.map((r, i) => ((r.fps - results.closed[i].fps) / results.closed[i].fps) * 100));
    const pageMs = await pageSecondCpuMs(bridge.port);
    const bridgeMsPerSecond = fps('closed') * cpu('closed');
    console.log(`bench: one second of an open page takes ${pageMs.toFixed(1)} ms of bridge CPU: ` +
      `${((pageMs / bridgeMsPerSecond) * 100).toFixed(1)}% of the ${bridgeMsPerSecond.toFixed(0)} ms a second of ` +
      `1080p RGBA at ${fps('closed').toFixed(1)} fps takes`);
    console.log(`bench: while the page was open, Chromium used ${median(browserShare).toFixed(1)}% of a core (median)`);
    console.log(`RESULT: 1920x1080 RGBA median ${fps('closed').toFixed(1)} fps with no page, ${fps('open').toFixed(1)} fps ` +
      `with the page open (median change ${change >= 0 ? '+' : ''}${change.toFixed(1)}%; goal: no worse than -3%: ` +
      `${change >= -3 ? 'met' : 'not met'}); ` +
      `bridge CPU ${cpu('closed').toFixed(2)} vs ${cpu('open').toFixed(2)} ms per frame`);
  } finally {
    await browser.close();
    await bridge.stop();
  }
}

main().catch((e) => {
  console.error(`bench: ${e.stack || e}`);
  process.exit(1);
});
