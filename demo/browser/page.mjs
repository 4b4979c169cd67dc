// The browser demo: draws moving bars, a frame counter and the time into a canvas and
// publishes it through the bridge with publishCanvas, or plays the canvas as a video
// (canvas.captureStream()) and publishes that with publishVideo. This page's server hands
// it the bridge's port and token (GET /bridge), read from the bridge's state file.
// Query: width, height, fps, seconds (ended by twice that at the latest) or frames,
// source, format ('RGBA', 'UYVY'), capture ('auto', 'webcodecs', 'getImageData'),
// conversion ('auto', 'webgl', 'script'), sending=page (not from a worker),
// video=element|track, still=1 (draws once),
// hash=1 (FNV-1a 64 of every frame sent, and of RGBA the colour in the middle of each
// bar, for the tests). When it ends, the page
// posts a report to /report, with the bridge's CPU time over the frames it counted.
import { publishCanvas, publishVideo, rgbToUyvy } from '/client/publish.mjs';
import { fnv1a64 } from './fnv.mjs';

const query = new URLSearchParams(location.search);
const width = Number(query.get('width') || 640);
const height = Number(query.get('height') || 360);
const fps = query.get('fps') || '30';
const total = query.has('frames') ? Number(query.get('frames')) : Math.round(Number(query.get('seconds') || 5) * parseFloat(fps));
const hashing = query.get('hash') === '1';
const still = query.get('still') === '1';
const videoSource = query.get('video');
const format = query.get('format') || 'RGBA';

const canvas = document.getElementById('canvas');
canvas.width = width;
canvas.height = height;
const context = canvas.getContext('2d', { willReadFrequently: true, alpha: false });
const shown = (id, text) => { document.getElementById(id).textContent = text; };

function showState(state, text = state) {
  const element = document.getElementById('state');
  element.dataset.state = state;
  element.textContent = text;
}

const BAR_COLOURS = ['#c0c0c0', '#c0c000', '#00c0c0', '#00c000', '#c000c0', '#c00000', '#0000c0'];
const barWidth = width / BAR_COLOURS.length;

let drawMs = 0;
let draws = 0;

function draw(n) {
  const began = performance.now();
  const shift = (n * 4) % width;
  context.fillStyle = '#101010';
  context.fillRect(0, 0, width, height);
  BAR_COLOURS.forEach((colour, i) => {
    context.fillStyle = colour;
    const x = (i * barWidth + shift) % width;
    context.fillRect(x, 0, barWidth, height * 0.7);
    if (x + barWidth > width) context.fillRect(x - width, 0, barWidth, height * 0.7);
  });
  context.fillStyle = '#ffffff';
  context.font = `bold ${Math.round(height / 8)}px monospace`;
  context.fillText(`frame ${String(n).padStart(6, '0')}`, width * 0.04, height * 0.84);
  context.font = `${Math.round(height / 14)}px monospace`;
  context.fillText(new Date().toISOString().slice(11, 23), width * 0.04, height * 0.95);
  drawMs += performance.now() - began;
  draws++;
}

// [r, g, b] in the middle of each bar as the bars stand when still.
function barSamples(pixels) {
  const y = Math.round(height * 0.35);
  return BAR_COLOURS.map((_, i) => {
    const at = (y * width + Math.round((i + 0.5) * barWidth)) * 4;
    return [pixels[at], pixels[at + 1], pixels[at + 2]];
  });
}

async function report(result) {
  const element = document.getElementById('state');
  await fetch('/report', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ ...result, state: element.dataset.state, shown: element.textContent }),
  });
}

// The canvas played as a video: a <video> element, or the stream's track itself.
async function canvasAsVideo() {
  const stream = canvas.captureStream(parseFloat(fps));
  if (videoSource === 'track') return stream.getVideoTracks()[0];
  const video = Object.assign(document.createElement('video'), { muted: true, playsInline: true, srcObject: stream });
  await video.play();
  return video;
}

async function run() {
  const answer = await fetch('/bridge', { cache: 'no-store' });
  const { port, token, code, message } = await answer.json();
  if (!answer.ok) throw Object.assign(new Error(message), { code });
  let n = 0;
  draw(n);
  const interval = 1000 / parseFloat(fps);
  const drawing = still ? null : setInterval(() => draw(++n), interval);
  const hashes = [];
  const samples = [];
  let counted = 0;
  let reachedTotal;
  const enough = new Promise((resolve) => { reachedTotal = resolve; });
  const options = {
    port, token, fps,
    source: query.get('source') || 'Kestovar browser demo',
    format,
    capture: query.get('capture') || 'auto',
    conversion: query.get('conversion') || 'auto',
    // sending=page: the page's own WebSocket, on its own thread, instead of a worker's.
    ...(query.get('sending') === 'page' ? { WebSocket } : {}),
    onSent(pixels) {
      if (hashing) {
        hashes.push(fnv1a64(pixels));
        if (format === 'RGBA') samples.push(barSamples(pixels));
      }
      if (++counted >= total) reachedTotal();
    },
  };
  const publisher = videoSource ? await publishVideo(await canvasAsVideo(), options) : await publishCanvas(canvas, options);
  showState('live');
  const bridgeBefore = await publisher.bridge.stats();
  const start = performance.now();
  let rateFrom = { at: start, sent: 0 };
  const showing = setInterval(() => {
    const { sent, dropped } = publisher.stats();
    shown('sent', sent);
    shown('dropped', dropped);
    const now = performance.now();
    shown('rate', `${((sent - rateFrom.sent) * 1000 / (now - rateFrom.at)).toFixed(1)} fps`);
    rateFrom = { at: now, sent };
  }, 1000);
  // A run of so many seconds that cannot keep the rate still ends, at twice that time.
  const overtime = query.has('frames') ? null : setTimeout(reachedTotal, (2000 * total) / parseFloat(fps));
  await Promise.race([enough, publisher.closed.then((error) => { if (error) throw error; })]);
  clearTimeout(overtime);
  const bridgeAfter = await publisher.bridge.stats();
  const drawn = context.getImageData(0, 0, width, height).data;
  const reference = fnv1a64(format === 'UYVY' ? rgbToUyvy(drawn, width, height) : drawn);
  await publisher.stop();
  clearInterval(drawing);
  clearInterval(showing);
  const seconds = (performance.now() - start) / 1000;
  const { sent, dropped, method, conversion, sending, captured, captureMs, sendMs } = publisher.stats();
  showState('done', `done: ${sent} frames sent`);
  const bridgeCpuMs = (bridgeAfter.cpuUserUs + bridgeAfter.cpuSystemUs - bridgeBefore.cpuUserUs - bridgeBefore.cpuSystemUs) / 1000;
  const bridgeFrames = bridgeAfter.frames - bridgeBefore.frames;
  await report({
    sent, dropped, behind: publisher.bridge.dropped, seconds, method, format, conversion, sending, bridgeFrames, bridgeCpuMs,
    captured, captureMs, sendMs, draws, drawMs,
    closed: await publisher.closed, hashes, samples, reference,
  });
}

run().catch(async (error) => {
  // Turned away before going live, or ended by the bridge afterwards (it shut down).
  const state = document.getElementById('state').dataset.state === 'live' ? 'ended' : 'refused';
  showState(state, `${state}: ${error.message}${error.code ? ` [${error.code}]` : ''}`);
  await report({ error: { code: error.code, message: error.message } });
});
