'use strict';
// Throughput of the whole chain: an application (Linux node) sends raw frames over
// WebSocket as fast as the connection takes them to the installed bridge runtime under
// Wine, which unmasks them in place and hands them to quorvex.node and on to the stand-in
// NDI runtime (checksums off, so the runtime itself reads nothing). For each size and
// format it prints the sustained frames per second and the bridge process's CPU time per
// frame (process.cpuUsage() reported by the server on request), plus the MB/s it carried
// and its share of two ceilings, what the bridge runtime under Wine reads when it does
// nothing but read (bench/ceiling-reader.js), measured in the same run: into one 4 MiB
// buffer, which stays in the processor's cache, and into frame memory (a ring of three
// 2160p RGBA frames, as the bridge must read). 1080p RGBA goes once more in the
// fragments Chromium sends a large message in, and once more through the client library.
//
// Command (after a build; it stages the installation tree itself):
//   node bench/chain.js [BUILD_DIR] [SECONDS_PER_CASE]
// e.g. node bench/chain.js build-h4 4
// Goal: >= 60 fps of 1920x1080 RGBA on a 2-core machine under Wine.
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { once } = require('node:events');
const { spawn } = require('node:child_process');

const { buildDir, rig, startBenchBridge, request } = require('./rig');
const { median, processCpuMs } = require('./measure');

const seconds = Number(process.argv[3] || 4);

const FRAME_CEILING_BYTES = 3840 * 2160 * 4;
// Runs of 2160p RGBA, each between two frame-memory ceilings, for the goal's share.
const GOAL_ROUNDS = 3;
// format, width, height, and the size of the fragments each message is sent in (0: one
// frame a message). Chromium sends a large message in fragments of at most 131,000 bytes.
const CASES = [
  ['RGBA', 1920, 1080, 0],
  ['UYVY', 1920, 1080, 0],
  ['RGBA', 3840, 2160, 0],
  ['UYVY', 3840, 2160, 0],
  ['RGBA', 1920, 1080, 131000],
];

// One message as masked frames: whole, or in fragments of fragmentBytes.
function maskedMessage(payload, fragmentBytes) {
  if (!fragmentBytes) return rig.maskedFrame(2, payload);
  const fragments = [];
  for (let at = 0; at < payload.length; at += fragmentBytes) {
    const end = Math.min(payload.length, at + fragmentBytes);
    fragments.push(rig.maskedFrame(at === 0 ? 2 : 0, payload.subarray(at, end), { fin: end === payload.length }));
  }
  return Buffer.concat(fragments);
}

// CPU time (ms) of the Wine server of the bridge's prefix: under Wine a socket read is
// partly the server's work, which the bridge's own CPU time does not show.
const wineServerCpuMs = () => processCpuMs((commandLine, environ) =>
  (commandLine.includes('wineserver') && environ().includes(`WINEPREFIX=${rig.PREFIX}`) ? 'all' : null)).all ?? NaN;

// The application side is kept as light as it can be, so the figures are the bridge's:
// a raw WebSocket client whose frames are masked once in advance (each with its own
// mask) and then only written. The tests send through `ws` with fresh masks.
async function runCase(port, format, width, height, caseSeconds = seconds, fragmentBytes = 0) {
  const client = await rig.rawConnect(port);
  const hello = { token: rig.tokens.get(port), source: 'bench', width, height, fpsN: 60, format };
  await client.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(hello))));
  const ready = await client.until('ready', () => client.messages().find((m) => m.type === 'ready' || m.type === 'error'));
  if (ready.type !== 'ready') throw new Error(`bridge refused: ${ready.message}`);
  // Distinct frames, so nothing along the way can get away with caching.
  const frames = [1, 2, 3, 4].map((n) => maskedMessage(rig.testFrame(ready.frameBytes, n), fragmentBytes));
  let sent = 0;
  const sendSome = async (count) => {
    for (let i = 0; i < count; i++) await client.write(frames[sent++ % frames.length]);
  };
  const warm = performance.now();
  while (performance.now() - warm < 1000) await sendSome(5);
  const s0 = await request(client, 'stats', 0);
  const t0 = performance.now();
  const c0 = process.cpuUsage();
  const w0 = wineServerCpuMs();
  while (performance.now() - t0 < caseSeconds * 1000) await sendSome(5);
  // The stats answer comes after every frame before it has been handed to the runtime.
  const s1 = await request(client, 'stats', 1);
  const elapsed = (performance.now() - t0) / 1000;
  const c1 = process.cpuUsage(c0);
  const w1 = wineServerCpuMs();
  await client.write(rig.maskedFrame(8, Buffer.from([0x03, 0xe8])));
  await client.closed(30000);
  const count = s1.frames - s0.frames;
  const bridgeCpuMs = (s1.cpuUserUs + s1.cpuSystemUs - s0.cpuUserUs - s0.cpuSystemUs) / 1000;
  return {
    format, width, height, fragmentBytes, frames: count, fps: count / elapsed,
    mbps: (count * ready.frameBytes) / elapsed / 1e6,
    bridgeCpuMsPerFrame: bridgeCpuMs / count,
    clientCpuMsPerFrame: (c1.user + c1.system) / 1000 / count,
    wineServerCpuMsPerFrame: (w1 - w0) / count,
  };
}

// The same 1080p RGBA case sent by an application through the client library, which masks
// each frame itself (client/node-frames.mjs), to show what the library costs.
async function runLibraryCase(port, width, height) {
  const { connect } = await import('../client/index.mjs');
  const bridge = await connect({ port, token: rig.tokens.get(port), source: 'bench library', width, height, fps: 60, format: 'RGBA' });
  const frames = [1, 2, 3, 4].map((n) => rig.testFrame(width * height * 4, n));
  let sent = 0;
  const warm = performance.now();
  while (performance.now() - warm < 1000) await bridge.sendFrame(frames[sent++ % frames.length]);
  const s0 = await bridge.stats();
  const t0 = performance.now();
  const c0 = process.cpuUsage();
  while (performance.now() - t0 < seconds * 1000) await bridge.sendFrame(frames[sent++ % frames.length]);
  const s1 = await bridge.stats();
  const elapsed = (performance.now() - t0) / 1000;
  const c1 = process.cpuUsage(c0);
  await bridge.close();
  const count = s1.frames - s0.frames;
  return {
    format: 'RGBA', width, height, frames: count, fps: count / elapsed, mbps: (count * width * height * 4) / elapsed / 1e6,
    bridgeCpuMsPerFrame: (s1.cpuUserUs + s1.cpuSystemUs - s0.cpuUserUs - s0.cpuSystemUs) / 1000 / count,
    clientCpuMsPerFrame: (c1.user + c1.system) / 1000 / count,
  };
}

// The ceiling, in MB/s: the bridge runtime reads a stream of 2160p RGBA frames written as
// fast as it takes them, into one 4 MiB buffer (or, inFrames, into a ring of three
// frames), and does nothing else with them. accepted: it reads, into frames, a connection
// it accepted, through the bridge's own reader, as the bridge must.
async function measureCeiling(inFrames = false, accepted = false) {
  const server = net.createServer().listen(0, '127.0.0.1');
  await once(server, 'listening');
  const logFile = path.join(buildDir, 'bench', 'ceiling-reader.log');
  const log = fs.openSync(logFile, 'w');
  const reader = spawn(rig.WINE_EXEC, [rig.PREFIX, path.join(rig.STAGE_DIR, 'runtime', 'kestovar-ndi-bridge.exe'),
    rig.windowsPath(path.join(__dirname, 'ceiling-reader.js')), String(server.address().port),
    String(inFrames || accepted ? FRAME_CEILING_BYTES : 0), accepted ? 'accept' : 'connect'],
  { env: rig.wineEnv(), stdio: ['ignore', log, log] });
  fs.closeSync(log);
  const exited = once(reader, 'exit').then(([code]) => { throw new Error(`the ceiling reader exited (${code}) before it connected`); });
  try {
    let socket;
    if (accepted) {
      const port = await Promise.race([exited, rig.waitFor('the ceiling reader to listen',
        () => (fs.readFileSync(logFile, 'latin1').match(/^port (\d+)$/m) || [])[1], 60000)]);
      socket = net.connect(Number(port), '127.0.0.1');
      await once(socket, 'connect');
    } else {
      [socket] = await Promise.race([once(server, 'connection'), exited]);
    }
    const frames = [1, 2, 3, 4].map((n) => rig.testFrame(FRAME_CEILING_BYTES, n));
    let written = 0;
    const writeFor = async (ms) => {
      const start = performance.now();
      let bytes = 0;
      while (performance.now() - start < ms) {
        const frame = frames[written++ % frames.length];
        await new Promise((resolve) => socket.write(frame, resolve));
        bytes += frame.length;
      }
      return bytes / (performance.now() - start) / 1e3;
    };
    await writeFor(1000);
    const mbps = await writeFor(seconds * 1000);
    const counted = new Promise((resolve) => {
      let answer = '';
      socket.on('data', (d) => { answer += d; });
      socket.on('end', () => resolve(Number(answer)));
    });
    socket.end();
    const read = await counted;
    const sent = frames[0].length * written;
    if (read !== sent) throw new Error(`the ceiling reader counted ${read} bytes of ${sent}`);
    return mbps;
  } finally {
    server.close();
    reader.kill();
  }
}

function printResult(r, label = '') {
  console.log(`${r.format.padEnd(7)} ${`${r.width}x${r.height}`.padEnd(10)} ${String(r.frames).padStart(7)}` +
    ` ${r.fps.toFixed(1).padStart(7)} ${r.mbps.toFixed(0).padStart(7)} ${r.bridgeCpuMsPerFrame.toFixed(2).padStart(20)}` +
    ` ${r.clientCpuMsPerFrame.toFixed(2).padStart(20)}` +
    ` ${r.wineServerCpuMsPerFrame === undefined ? ' '.repeat(20) : r.wineServerCpuMsPerFrame.toFixed(2).padStart(20)}` +
    ` ${`${(100 * r.share).toFixed(0)}%`.padStart(7)} ${`${(100 * r.frameShare).toFixed(0)}%`.padStart(21)}${label}`);
}

async function main() {
  const bridge = await startBenchBridge('chain');
  try {
    console.log(`bench: ${seconds} s per case, ${require('node:os').cpus().length} cores, bridge under Wine`);
    // The ceilings move with the machine's load: measured before and after the cases.
    const before = { cache: await measureCeiling(), frames: await measureCeiling(true), accepted: await measureCeiling(true, true) };
    const results = [];
    for (const [format, width, height, fragmentBytes] of CASES) {
      results.push(await runCase(bridge.port, format, width, height, seconds, fragmentBytes));
    }
    const library = await runLibraryCase(bridge.port, 1920, 1080);
    const after = { cache: await measureCeiling(), frames: await measureCeiling(true), accepted: await measureCeiling(true, true) };
    const ceiling = (before.cache + after.cache) / 2;
    const frameCeiling = (before.frames + after.frames) / 2;
    const acceptedCeiling = (before.accepted + after.accepted) / 2;
    console.log(`ceiling (the bridge runtime only reading) into 4 MiB: ${before.cache.toFixed(0)} MB/s before the cases, ` +
      `${after.cache.toFixed(0)} MB/s after; into frame memory: ${before.frames.toFixed(0)} and ${after.frames.toFixed(0)} MB/s; ` +
      `into frame memory from an accepted connection: ${before.accepted.toFixed(0)} and ${after.accepted.toFixed(0)} MB/s`);
    console.log('format  size        frames     fps    MB/s  bridge CPU ms/frame  client CPU ms/frame  wineserver ms/frame  ' +
      'ceiling  frame-memory ceiling');
    for (const r of [...results, library]) {
      r.share = r.mbps / ceiling;
      r.frameShare = r.mbps / frameCeiling;
    }
    for (const r of results) printResult(r, r.fragmentBytes ? `  (in ${r.fragmentBytes}-byte fragments)` : '');
    printResult(library, '  (client library)');
    // The ceilings move by a fifth within a run, so the goal's share is also taken
    // between ceilings measured right before and after each of a few 2160p RGBA runs.
    const shares = [];
    let lastCeiling = await measureCeiling(true);
    for (let round = 0; round < GOAL_ROUNDS; round++) {
      const run = await runCase(bridge.port, 'RGBA', 3840, 2160);
      const next = await measureCeiling(true);
      shares.push(run.mbps / ((lastCeiling + next) / 2));
      lastCeiling = next;
    }
    const share = median(shares);
    const goal = results[0];
    const uhd = results[2];
    console.log(`3840x2160 RGBA between frame-memory ceilings measured right before and after: ` +
      `${shares.map((x) => `${(100 * x).toFixed(0)}%`).join(', ')}`);
    console.log(`RESULT: 1920x1080 RGBA sustained ${goal.fps.toFixed(1)} fps ` +
      `(goal >= 60: ${goal.fps >= 60 ? 'met' : 'not met'}), ${goal.bridgeCpuMsPerFrame.toFixed(2)} ms bridge CPU per frame; ` +
      `3840x2160 RGBA ${(100 * share).toFixed(0)}% of the frame-memory ceiling, median of ${GOAL_ROUNDS} ` +
      `(goal >= 85%: ${share >= 0.85 ? 'met' : 'not met'}), ` +
      `${(100 * uhd.mbps / acceptedCeiling).toFixed(0)}% of what a reader of an accepted connection reads`);
  } finally {
    await bridge.stop();
  }
}

if (require.main === module) {
  main().catch((e) => {
    console.error(`bench: ${e.stack || e}`);
    process.exit(1);
  });
}

module.exports = { runCase };
