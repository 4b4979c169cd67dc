'use strict';
// A page publishing a canvas through the whole chain: the browser demo page (moving bars,
// a counter and the time drawn at the frame rate) in headless Chromium, publishing with
// publishCanvas to the installed bridge under Wine on the stand-in NDI runtime. For a
// canvas at 1080p60 and 2160p30, in RGBA and in UYVY (and 1080p60 UYVY once more sent from
// the page's own thread instead of the publisher's worker), it prints the frames per second in
// the page, the share of frames dropped (and of those, the share dropped because the
// bridge was behind rather than the capture busy), the bridge's CPU time per frame, and
// where the page's time went per frame (drawing, taking and converting, sending). Beside each, in
// the same run, Chromium's own ceiling for a frame of that many bytes: a page that sends
// one ready-made message as fast as its WebSocket drains (at most two messages waiting,
// as the library allows) to a `ws` server in this machine's node that only counts them;
// "reachable" is the page's rate as a share of the lower of that ceiling and the goal.
// Then, for each case, the CPU time of each process taking part per frame the page sent:
// the demo's Chromium by process type, the bridge under Wine and its Wine server.
//
// Command (after a build; it stages the installation tree itself):
//   node bench/page.js [BUILD_DIR] [SECONDS_PER_CASE]
// e.g. node bench/page.js build 10
// Goal: 1080p60 UYVY >= 59 fps in the page, at most 1% dropped.
const os = require('node:os');
const path = require('node:path');
const { once } = require('node:events');
const { WebSocketServer } = require('ws');
const { startBenchBridge, buildDir, rig } = require('./rig');
const { processCpuMs } = require('./measure');
const { launchChromium } = require('../tests/rig/chromium');

const seconds = Number(process.argv[3] || 10);
const CASES = [
  { format: 'RGBA', width: 1920, height: 1080, fps: 60 },
  { format: 'UYVY', width: 1920, height: 1080, fps: 60 },
  { format: 'UYVY', width: 1920, height: 1080, fps: 60, sending: 'page' },
  { format: 'RGBA', width: 3840, height: 2160, fps: 30 },
  { format: 'UYVY', width: 3840, height: 2160, fps: 30 },
];
const BYTES_PER_PIXEL = { RGBA: 4, UYVY: 2 };

// Messages per second a page gets through its WebSocket to a sink that only counts.
async function chromiumCeiling(page, bytes) {
  const sink = new WebSocketServer({ host: '127.0.0.1', port: 0, perMessageDeflate: false, maxPayload: bytes });
  await once(sink, 'listening');
  let received = 0;
  sink.on('connection', (socket) => socket.on('message', () => { received++; }));
  try {
    const { sent, ms } = await page.evaluate(`(async () => {
      const socket = new WebSocket('ws://127.0.0.1:${sink.address().port}/');
      await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
      const message = new Uint8Array(${bytes}).map((_, i) => i * 7);
      // Waiting on a timer rather than spinning leaves the processor to the sending.
      const turn = () => new Promise((resolve) => setTimeout(resolve, 1));
      let sent = 0;
      const run = async (ms) => {
        const start = performance.now();
        while (performance.now() - start < ms) {
          if (socket.bufferedAmount + ${bytes} <= ${2 * bytes}) { socket.send(message); sent++; } else await turn();
        }
        while (socket.bufferedAmount > 0) await turn();
        return performance.now() - start;
      };
      await run(1000);
      const warm = sent;
      const ms = await run(${seconds * 1000});
      socket.close();
      return { sent: sent - warm, ms, total: sent };
    })()`);
    await rig.waitFor('the sink to count every message', () => received >= sent, 30000);
    return (sent * 1000) / ms;
  } finally {
    for (const socket of sink.clients) socket.terminate();
    sink.close();
  }
}

// The processes taking part, in one pass over them all for each sample: the demo's
// Chromium (a profile of its own, demo/chromium.mjs, apart from the browser that measures
// the ceilings) by process type, and the bridge and Wine server of the bench's prefix.
function machineProcess(commandLine, environ) {
  if (commandLine.includes('kestovar-chromium-')) {
    const type = /--type=([a-z-]+)/.exec(commandLine)?.[1];
    if (type === 'utility') return commandLine.includes('NetworkService') ? 'network' : 'utility';
    return type === 'gpu-process' ? 'gpu' : type ?? 'browser';
  }
  const wine = commandLine.includes('kestovar-ndi-bridge.exe') ? 'bridge' : commandLine.includes('wineserver') && 'wineserver';
  return wine && environ().includes(`WINEPREFIX=${rig.PREFIX}`) ? wine : null;
}
const PROCESSES = ['renderer', 'gpu', 'network', 'browser', 'utility', 'zygote', 'bridge', 'wineserver'];

// CPU ms per second of each process kind over the page's measured seconds (samples taken
// every 250 ms while the page runs; half a second left off at each end).
function cpuPerSecond(samples, reportedAt, measuredSeconds) {
  const inside = samples.filter((s) => s.at >= reportedAt - measuredSeconds * 1000 + 500 && s.at <= reportedAt - 500);
  if (inside.length < 2) return null;
  const [first, last] = [inside[0], inside[inside.length - 1]];
  const seconds = (last.at - first.at) / 1000;
  return Object.fromEntries(PROCESSES.map((k) => [k, ((last.cpu[k] ?? 0) - (first.cpu[k] ?? 0)) / seconds]));
}

async function pageCase(demo, server, { format, width, height, fps, sending }) {
  const samples = [];
  const sampler = setInterval(() => samples.push({ at: performance.now(), cpu: processCpuMs(machineProcess) }), 250);
  let reportedAt;
  server.nextReport().then(() => { reportedAt = performance.now(); clearInterval(sampler); });
  const report = await demo.runPage(server, `width=${width}&height=${height}&fps=${fps}&seconds=${seconds}&format=${format}${sending ? `&sending=${sending}` : ''}`,
    (seconds * 3 + 60) * 1000).finally(() => clearInterval(sampler));
  if (report.error) throw new Error(`the page failed: ${report.error.code}: ${report.error.message}`);
  const perFrame = (ms, count) => ms / Math.max(1, count);
  return {
    fps: report.sent / report.seconds,
    droppedShare: report.dropped / (report.sent + report.dropped),
    behindShare: report.behind / Math.max(1, report.dropped),
    bridgeCpuMs: perFrame(report.bridgeCpuMs, report.bridgeFrames),
    drawMs: perFrame(report.drawMs, report.draws),
    captureMs: perFrame(report.captureMs, report.captured),
    sendMs: perFrame(report.sendMs, report.captured),
    how: [report.method, report.conversion && `${report.conversion} conversion`, `sent from ${report.sending}`].filter(Boolean).join(', '),
    cpu: cpuPerSecond(samples, reportedAt, report.seconds),
  };
}

async function main() {
  const demo = await import('../demo/browser-server.mjs');
  const dir = path.join(buildDir, 'bench', 'page');
  const server = await demo.startDemoServer({ stateFile: path.join(dir, 'state', 'bridge.json') });
  const browser = await launchChromium(path.join(dir, 'chromium'));
  const bridge = await startBenchBridge('page', { KESTOVAR_BRIDGE_ORIGINS: server.origin });
  try {
    const page = await browser.openPage(`${server.origin}/fnv.mjs`);
    console.log(`bench: ${seconds} s per case, ${os.cpus().length} cores, Chromium headless, bridge under Wine`);
    console.log('case                page fps  dropped  (bridge behind)  ceiling fps  reachable  bridge CPU ms/f  draw ms/f  take ms/f  send ms/f  how');
    const results = [];
    for (const c of CASES) {
      const label = `${c.height}p${c.fps} ${c.format}${c.sending ? `, ${c.sending}` : ''}`;
      const ceiling = await chromiumCeiling(page, c.width * c.height * BYTES_PER_PIXEL[c.format]);
      const r = { label, ceiling, ...await pageCase(demo, server, c) };
      results.push(r);
      const f = (value, width, digits = 2) => value.toFixed(digits).padStart(width);
      console.log(`${label.padEnd(19)} ${f(r.fps, 8, 1)} ${f(100 * r.droppedShare, 7, 1)}% ${f(100 * r.behindShare, 15, 0)}%` +
        ` ${f(r.ceiling, 12, 1)}` +
        ` ${f((100 * r.fps) / Math.min(c.fps, r.ceiling), 9, 0)}% ${f(r.bridgeCpuMs, 16)} ${f(r.drawMs, 10)}` +
        ` ${f(r.captureMs, 10)} ${f(r.sendMs, 10)}  ${r.how}`);
    }
    const cores = os.cpus().length;
    console.log(`\nCPU ms per frame the page sent, by process (busy: the share of the ${cores} cores in use)`);
    console.log(['case'.padEnd(19), ...PROCESSES.map((k) => k.padStart(10)), '   busy'].join(' '));
    for (const r of results.filter((x) => x.cpu)) {
      const total = Object.values(r.cpu).reduce((a, b) => a + b, 0);
      console.log([r.label.padEnd(19), ...PROCESSES.map((k) => (r.cpu[k] / r.fps).toFixed(2).padStart(10)),
        `${((100 * total) / (cores * 1000)).toFixed(0).padStart(6)}%`].join(' '));
    }
    const [goal, fromPage] = [results[1], results[2]];
    const met = goal.fps >= 59 && goal.droppedShare <= 0.01;
    console.log(`RESULT: 1080p60 UYVY from a page ${goal.fps.toFixed(1)} fps, ${(100 * goal.droppedShare).toFixed(1)}% dropped ` +
      `(goal >= 59 fps, <= 1%: ${met ? 'met' : 'not met'}), ${(goal.fps / fromPage.fps).toFixed(2)}x the ` +
      `${fromPage.fps.toFixed(1)} fps sent from the page's own thread; 1080p60 RGBA ${results[0].fps.toFixed(1)} fps, ` +
      `Chromium's ceiling for its frames ${results[0].ceiling.toFixed(1)} fps`);
  } finally {
    await bridge.stop();
    await browser.close();
    await server.close();
  }
}

main().catch((e) => {
  console.error(`bench: ${e.stack || e}`);
  process.exit(1);
});
