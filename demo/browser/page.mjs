// The browser demo: draws moving bars, a frame counter and the time into a canvas and
// publishes each frame through the bridge. This page's server hands it the bridge's port
// and token (GET /bridge), read from the bridge's state file.
// Query: width, height, fps, seconds or frames, whenBusy, source, hash=1 (FNV-1a 64 of
// every frame sent, for the tests). When it ends, the page posts a report to /report.
import { connect } from '/client/index.mjs';
import { fnv1a64 } from './fnv.mjs';

const query = new URLSearchParams(location.search);
const width = Number(query.get('width') || 640);
const height = Number(query.get('height') || 360);
const fps = query.get('fps') || '30';
const total = query.has('frames') ? Number(query.get('frames')) : Math.round(Number(query.get('seconds') || 5) * parseFloat(fps));
const hashing = query.get('hash') === '1';

const canvas = document.getElementById('canvas');
canvas.width = width;
canvas.height = height;
const context = canvas.getContext('2d', { willReadFrequently: true });
const shown = (id, text) => { document.getElementById(id).textContent = text; };

function showState(state, text = state) {
  const element = document.getElementById('state');
  element.dataset.state = state;
  element.textContent = text;
}

const BAR_COLOURS = ['#c0c0c0', '#c0c000', '#00c0c0', '#00c000', '#c000c0', '#c00000', '#0000c0'];

function draw(n) {
  const barWidth = width / BAR_COLOURS.length;
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
  return context.getImageData(0, 0, width, height).data;
}

async function report(result) {
  const element = document.getElementById('state');
  await fetch('/report', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ ...result, state: element.dataset.state, shown: element.textContent }),
  });
}

async function run() {
  const answer = await fetch('/bridge', { cache: 'no-store' });
  const { port, token, code, message } = await answer.json();
  if (!answer.ok) throw Object.assign(new Error(message), { code });
  const bridge = await connect({
    port, token, width, height, fps,
    source: query.get('source') || 'Kestovar browser demo',
    whenBusy: query.get('whenBusy') || 'wait',
  });
  showState('live');
  const hashes = [];
  const start = performance.now();
  let rateFrom = { at: start, sent: 0 };
  const interval = 1000 / (bridge.ready.fpsN / bridge.ready.fpsD);
  for (let n = 0; n < total; n++) {
    const wait = start + n * interval - performance.now();
    if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
    const pixels = draw(n);
    if (await bridge.sendFrame(pixels) && hashing) hashes.push(fnv1a64(pixels));
    shown('sent', bridge.sent);
    shown('dropped', bridge.dropped);
    const now = performance.now();
    if (now - rateFrom.at >= 1000) {
      shown('rate', `${((bridge.sent - rateFrom.sent) * 1000 / (now - rateFrom.at)).toFixed(1)} fps`);
      rateFrom = { at: now, sent: bridge.sent };
    }
  }
  const seconds = (performance.now() - start) / 1000;
  const stats = await bridge.stats();
  await bridge.close();
  showState('done', `done: ${bridge.sent} frames sent`);
  await report({ sent: bridge.sent, dropped: bridge.dropped, seconds, bridgeFrames: stats.frames, hashes });
}

run().catch(async (error) => {
  // Turned away before going live, or ended by the bridge afterwards (it shut down).
  const state = document.getElementById('state').dataset.state === 'live' ? 'ended' : 'refused';
  showState(state, `${state}: ${error.message}${error.code ? ` [${error.code}]` : ''}`);
  await report({ error: { code: error.code, message: error.message } });
});
