'use strict';
// The soak of the whole chain under Wine, for the soak benchmark (bench/soak.js, long) and
// the soak test (tests/app/soak.test.js, short): an application sends frames as fast as
// the bridge takes them, reconnecting at intervals so that sessions start and end under
// load, while the stand-in NDI runtime checks a sample of the frames byte-exact and counts
// them all. Pass: no frame corrupted or lost; resident memory after all frames within 10%
// of its value after the first 1,000; handle count flat; every log record whole.
const fs = require('node:fs');
const path = require('node:path');

const WIDTH = 640;
const HEIGHT = 360;
const FRAME_BYTES = WIDTH * HEIGHT * 4;
// Distinct frames in rotation: 7 shares no factor with the sample interval, so every
// checked frame may be any of them and a mix-up cannot hide.
const DISTINCT_FRAMES = 7;
// Handles of connections that ended moments before a sample may still be closing.
const SLACK = 2;
const RECORD = /^\[[0-9T:-]{19}\] bridge pid=\d+ [a-z_]+( [a-z_]+=("(?:[^"\\]|\\.)*"|\S*))*$/;

// The Unix file descriptors of the bridge's Wine process: Wine keeps one for each open
// file and socket handle, so their count follows the Windows handles.
function openDescriptors(unixPid) {
  try {
    return fs.readdirSync(`/proc/${unixPid}/fd`).length;
  } catch {
    return NaN;
  }
}

async function runSession(rig, port, first, count, frames, onStats, statsEvery) {
  const client = await rig.rawConnect(port);
  const hello = { token: rig.tokens.get(port), source: 'soak', width: WIDTH, height: HEIGHT, fpsN: 60, format: 'RGBA' };
  await client.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(hello))));
  const ready = await client.until('ready', () => client.messages().find((m) => m.type === 'ready' || m.type === 'error'), 60000);
  if (ready.type !== 'ready') throw new Error(`bridge refused: ${ready.message}`);
  let asked = 0;
  for (let n = 0; n < count; n++) {
    await client.write(frames[(first + n) % DISTINCT_FRAMES]);
    if ((first + n + 1) % statsEvery === 0) {
      const stats = await rig.request(client, 'stats', asked++);
      onStats(first + n + 1, stats);
    }
  }
  await client.write(rig.maskedFrame(8, Buffer.from([0x03, 0xe8])));
  await client.closed(60000);
}

// Runs the soak; returns its figures and verdict.
async function runSoak({ rig, dir, frames: total, reconnectEvery = 10000, sampleEvery = 1000, statsEvery = 1000, log = () => {} }) {
  fs.rmSync(dir, { recursive: true, force: true });
  const { bridge, ndiLog } = await rig.startStandinBridge({
    dir, env: { NDI_STANDIN_SAMPLE_EVERY: String(sampleEvery), KESTOVAR_BRIDGE_TEST_GC: '1' },
  });
  const unixPid = bridge.servingUnixPid();
  if (!fs.readFileSync(`/proc/${unixPid}/cmdline`, 'utf8').includes('kestovar-ndi-bridge.exe')) {
    throw new Error(`process ${unixPid} is not the bridge`);
  }
  const plain = Array.from({ length: DISTINCT_FRAMES }, (_, i) => rig.testFrame(FRAME_BYTES, 9000 + i));
  const frames = plain.map((f) => rig.maskedFrame(2, f));
  const samples = [];
  const started = performance.now();
  try {
    for (let first = 0; first < total; first += reconnectEvery) {
      await runSession(rig, bridge.port, first, Math.min(reconnectEvery, total - first), frames, (sent, stats) => {
        samples.push({ sent, rss: stats.rssBytes, resources: stats.resources, fds: openDescriptors(unixPid) });
        if (sent % (statsEvery * 10) === 0) log(`soak: ${sent} frames, bridge memory ${(stats.rssBytes / 1e6).toFixed(1)} MB`);
      }, statsEvery);
    }
    const seconds = (performance.now() - started) / 1000;
    const sessions = Math.ceil(total / reconnectEvery);
    await rig.waitFor('every sender to end', () => ndiLog.all().filter((e) => e.event === 'send_destroy').length === sessions, 60000);
    // Each sender counts its frames; sampled frames carry their checksum, numbered from 1
    // within their sender.
    const events = ndiLog.all();
    const received = events.filter((e) => e.event === 'send_destroy').reduce((sum, e) => sum + Number(e.frames), 0);
    const fnvs = plain.map((f) => rig.fnv1a64(f));
    let instance = null;
    let sessionFirst = -reconnectEvery;
    let checked = 0;
    let corrupted = events.filter((e) => e.event === 'frame_changed').length;
    for (const e of events.filter((x) => x.event === 'send_video')) {
      if (e.instance !== instance) {
        instance = e.instance;
        sessionFirst += reconnectEvery;
      }
      checked++;
      if (e.fnv !== fnvs[(sessionFirst + Number(e.frame) - 1) % DISTINCT_FRAMES]) corrupted++;
    }
    const lines = rig.readText(bridge.logFile).split('\r\n').filter(Boolean);
    const broken = lines.filter((l) => !RECORD.test(l));
    const start = samples[0];
    const end = samples[samples.length - 1];
    const result = {
      frames: total, received, lost: total - received, checked, corrupted, seconds, fps: total / seconds,
      rss: { start: start.rss, end: end.rss, max: Math.max(...samples.map((s) => s.rss)) },
      fds: { start: start.fds, end: end.fds, max: Math.max(...samples.map((s) => s.fds)) },
      resources: { start: start.resources, end: end.resources },
      records: lines.length, brokenRecords: broken.length,
    };
    let expectedChecks = 0;
    for (let first = 0; first < total; first += reconnectEvery) expectedChecks += Math.ceil(Math.min(reconnectEvery, total - first) / sampleEvery);
    result.pass = result.lost === 0 && corrupted === 0 && checked === expectedChecks &&
      end.rss <= start.rss * 1.1 && end.fds <= start.fds + SLACK && end.resources <= start.resources + SLACK &&
      broken.length === 0;
    return result;
  } finally {
    await bridge.stop();
  }
}

module.exports = { runSoak, WIDTH, HEIGHT };
