'use strict';
// Latency and the application's CPU: an application on the client library (this Linux
// node) sends frames at a steady rate to the installed bridge under Wine, which hands
// them to the stand-in NDI runtime. Each frame carries a stamp in its first 16 bytes (its
// number, and the wall-clock time of the sendFrame call); the stand-in records when each
// stamped frame arrives (NDI_STANDIN_STAMPS). Both ends read the same clock: Wine's
// GetSystemTimePreciseAsFileTime is CLOCK_REALTIME, as is performance.timeOrigin +
// performance.now() here (checked side by side: they agree within 0.1 ms, whereas Wine's
// QueryPerformanceCounter is CLOCK_MONOTONIC_RAW, not the CLOCK_MONOTONIC of
// process.hrtime). For each case it prints the latency from the sendFrame call to the
// runtime (p50, p95, p99, max), the frames dropped and the application's CPU per frame
// sent. Then the 1080p60 RGBA case through the library and the same stream written raw
// (frames masked beforehand, only the stamp masked per frame: the least an application
// can pay) take turns, and the medians of their CPU per frame are compared.
//
// Command (after a build; it stages the installation tree itself):
//   node bench/latency.js [BUILD_DIR] [SECONDS_PER_CASE]
// e.g. node bench/latency.js build 10
// Goals: 1080p60 RGBA p50 <= 8 ms, p99 <= 16.7 ms; 2160p30 RGBA p99 <= 33 ms; library CPU
// per 1080p RGBA frame <= 1.2x the raw writes'.
const fs = require('node:fs');
const path = require('node:path');
const { startBenchBridge, buildDir, rig } = require('./rig');
const { median } = require('./measure');

const seconds = Number(process.argv[3] || 10);
const WARM_UP_FRAMES = 10;
// Library and raw writes take turns this often, for CPU figures taken under the same load.
const CPU_ROUNDS = 3;
const STAMP_BYTES = 16;

const CASES = [
  { format: 'RGBA', width: 1920, height: 1080, fps: 60 },
  { format: 'UYVY', width: 1920, height: 1080, fps: 60 },
  { format: 'RGBA', width: 3840, height: 2160, fps: 30 },
];
const BYTES_PER_PIXEL = { RGBA: 4, UYVY: 2 };

const wallClockMs = () => performance.timeOrigin + performance.now();
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function writeStamp(frame, number, sentMs) {
  frame.writeBigUInt64LE(BigInt(number), 0);
  frame.writeDoubleLE(sentMs, 8);
}

// Four distinct frames of each size, made once: nothing along the way may cache a frame.
const testFrames = new Map();
function framesOf(bytes) {
  if (!testFrames.has(bytes)) testFrames.set(bytes, [1, 2, 3, 4].map((n) => rig.testFrame(bytes, n)));
  return testFrames.get(bytes);
}

// Calls send(number) at the case's rate, on a schedule fixed from the start (a late
// frame does not push the later ones back). Returns the CPU the loop took.
async function paced(fps, frames, send) {
  const interval = 1000 / fps;
  const start = performance.now() + interval;
  let cpu = null;
  for (let n = 0; n < frames; n++) {
    if (n === WARM_UP_FRAMES) cpu = process.cpuUsage();
    const wait = start + n * interval - performance.now();
    if (wait > 0) await sleep(wait);
    await send(n);
  }
  return process.cpuUsage(cpu);
}

// The stand-in's stamps of the session that just ended: frame number -> arrival latency.
async function readStamps(file) {
  const text = await rig.waitFor('the stand-in\'s stamps', () => {
    const t = rig.readText(file);
    return /^stamps /m.test(t) && t;
  }, 60000);
  const latencies = new Map();
  for (const m of text.matchAll(/^stamp instance=\d+ frame=(\d+) sent=(\S+) arrived=(\S+)$/gm)) {
    latencies.set(Number(m[1]), Number(m[3]) - Number(m[2]));
  }
  return latencies;
}

function percentile(sorted, p) {
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.ceil(sorted.length * p) - 1)] : NaN;
}

// Latencies of the frames after the warm-up that were sent: percentiles, and the
// frames that were sent but never arrived.
function summarize(stamps, sentNumbers) {
  const latencies = [];
  let lost = 0;
  for (const n of sentNumbers) {
    if (n < WARM_UP_FRAMES) continue;
    if (stamps.has(n)) latencies.push(stamps.get(n));
    else lost++;
  }
  latencies.sort((a, b) => a - b);
  return {
    p50: percentile(latencies, 0.5), p95: percentile(latencies, 0.95), p99: percentile(latencies, 0.99),
    max: latencies[latencies.length - 1], min: latencies[0], lost, measured: latencies.length,
  };
}

async function runLibraryCase(bridge, stampsFile, { format, width, height, fps }, whenBusy, caseSeconds = seconds) {
  const { connect } = await import('../client/index.mjs');
  fs.rmSync(stampsFile, { force: true });
  const session = await connect({ port: bridge.port, token: bridge.token, source: 'bench latency', width, height, fps, format, whenBusy });
  const frames = framesOf(width * height * BYTES_PER_PIXEL[format]);
  const total = WARM_UP_FRAMES + Math.max(1, Math.round(caseSeconds * fps));
  const sentNumbers = [];
  let dropped = 0;
  const cpu = await paced(fps, total, async (n) => {
    const frame = frames[n % frames.length];
    writeStamp(frame, n, wallClockMs());
    if (await session.sendFrame(frame)) sentNumbers.push(n);
    else if (n >= WARM_UP_FRAMES) dropped++;
  });
  await session.close();
  const counted = sentNumbers.filter((n) => n >= WARM_UP_FRAMES).length;
  return {
    ...summarize(await readStamps(stampsFile), sentNumbers),
    dropped, cpuMsPerFrame: (cpu.user + cpu.system) / 1000 / counted,
  };
}

// The same stream as raw writes of frames masked beforehand: per frame only the stamp's
// 16 bytes are masked, and each write is awaited before the next frame is due.
async function runRawCase(bridge, stampsFile, { format, width, height, fps }, caseSeconds = seconds) {
  fs.rmSync(stampsFile, { force: true });
  const client = await rig.rawConnect(bridge.port);
  const hello = { token: bridge.token, source: 'bench latency raw', width, height, fpsN: fps, format };
  await client.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(hello))));
  await client.until('ready', () => (/"type":"(ready|error)"/.test(client.text()) || undefined));
  if (!client.text().includes('"ready"')) throw new Error(`bridge refused: ${client.text()}`);
  const frameBytes = width * height * BYTES_PER_PIXEL[format];
  const frames = framesOf(frameBytes).map((frame) => rig.maskedFrame(2, frame));
  const headerBytes = frames[0].length - frameBytes;
  const stamp = Buffer.alloc(STAMP_BYTES);
  const total = WARM_UP_FRAMES + Math.max(1, Math.round(caseSeconds * fps));
  const sentNumbers = [];
  const cpu = await paced(fps, total, async (n) => {
    const frame = frames[n % frames.length];
    writeStamp(stamp, n, wallClockMs());
    for (let i = 0; i < STAMP_BYTES; i++) frame[headerBytes + i] = stamp[i] ^ frame[headerBytes - 4 + (i & 3)];
    sentNumbers.push(n);
    await client.write(frame);
  });
  await client.write(rig.maskedFrame(8, Buffer.from([0x03, 0xe8])));
  await client.closed(30000);
  return {
    ...summarize(await readStamps(stampsFile), sentNumbers),
    dropped: 0, cpuMsPerFrame: (cpu.user + cpu.system) / 1000 / (total - WARM_UP_FRAMES),
  };
}

const ms = (value) => (Number.isFinite(value) ? value.toFixed(2) : '-').padStart(7);

function printRow(label, r) {
  console.log(`${label.padEnd(28)} ${ms(r.p50)} ${ms(r.p95)} ${ms(r.p99)} ${ms(r.max)} ${String(r.dropped).padStart(7)}` +
    ` ${String(r.lost).padStart(5)} ${ms(r.cpuMsPerFrame)}`);
  if (r.min < 0) console.log(`  (a negative latency, ${r.min.toFixed(2)} ms: the wall clock was set during the run)`);
}

async function main() {
  const dir = path.join(buildDir, 'bench', 'latency');
  const stampsFile = path.join(dir, 'stamps.txt');
  const bridge = await startBenchBridge('latency', { NDI_STANDIN_STAMPS: rig.windowsPath(stampsFile) });
  try {
    console.log(`bench: ${seconds} s per case, ${require('node:os').cpus().length} cores, bridge under Wine`);
    console.log('case                         p50 ms  p95 ms  p99 ms  max ms dropped  lost  CPU ms/frame');
    const results = {};
    for (const c of CASES) {
      for (const whenBusy of ['wait', 'drop']) {
        const label = `${c.width >= 3840 ? '2160' : '1080'}p${c.fps} ${c.format} ${whenBusy}`;
        results[label] = await runLibraryCase(bridge, stampsFile, c, whenBusy);
        printRow(label, results[label]);
      }
    }
    // The application's CPU per frame depends on how busy the machine is, so the library
    // and raw writes of frames masked beforehand take turns, and the medians are compared.
    const cpu = { library: [], raw: [] };
    for (let round = 1; round <= CPU_ROUNDS; round++) {
      const library = await runLibraryCase(bridge, stampsFile, CASES[0], 'wait', seconds / 2);
      printRow(`1080p60 RGBA wait, round ${round}`, library);
      const raw = await runRawCase(bridge, stampsFile, CASES[0], seconds / 2);
      printRow(`1080p60 RGBA raw, round ${round}`, raw);
      cpu.library.push(library.cpuMsPerFrame);
      cpu.raw.push(raw.cpuMsPerFrame);
    }
    const [libraryCpu, rawCpu] = [median(cpu.library), median(cpu.raw)];
    console.log(`application CPU per 1080p RGBA frame, medians of ${CPU_ROUNDS} rounds: library ${libraryCpu.toFixed(2)} ms, ` +
      `raw writes ${rawCpu.toFixed(2)} ms (${(libraryCpu / rawCpu).toFixed(2)}x)`);
    const hd = results['1080p60 RGBA wait'];
    const uhd = results['2160p30 RGBA wait'];
    console.log(`RESULT: latency 1080p60 RGBA p50 ${hd.p50.toFixed(2)} p99 ${hd.p99.toFixed(2)}; ` +
      `2160p30 RGBA p50 ${uhd.p50.toFixed(2)} p99 ${uhd.p99.toFixed(2)}; ` +
      `library CPU ${libraryCpu.toFixed(2)}/frame vs raw ${rawCpu.toFixed(2)}/frame`);
  } finally {
    await bridge.stop();
  }
}

main().catch((e) => {
  console.error(`bench: ${e.stack || e}`);
  process.exit(1);
});
