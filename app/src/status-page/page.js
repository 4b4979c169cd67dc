'use strict';
// The status page's script: asks the bridge for its status every second and, while the
// page is shown and an application publishes, for a thumbnail twice a second; says when
// the bridge has stopped; and stops it on request. Same origin only (see status.js).

const STATUS_EVERY_MS = 1000;
const THUMBNAIL_EVERY_MS = 500;
// Once the bridge has gone, it is looked for less often. When a bridge answers again, or
// another bridge answers in its place, the page reloads: a new bridge has a new stop key.
const GONE_EVERY_MS = 2000;

const byId = (id) => document.getElementById(id);
const stopKey = document.querySelector('meta[name="stop-key"]').content;
let publishing = false;
let gone = false;
let startedAt = null;
let stopRequested = false;
let lastCount = null;
let thumbnailRunning = false;
let thumbnailNumber = 0;

function setState(kind, text) {
  const state = byId('state');
  state.className = `state ${kind}`;
  state.textContent = text;
}

function duration(seconds) {
  const h = Math.floor(seconds / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = seconds % 60;
  return h > 0 ? `${h} h ${m} min` : m > 0 ? `${m} min ${s} s` : `${s} s`;
}

function frameRate(fpsN, fpsD) {
  const fps = fpsN / fpsD;
  return Number.isInteger(fps) ? String(fps) : fps.toFixed(2);
}

// Frames per second over the last status interval, from the frame counts.
function measuredRate(frames) {
  const now = performance.now();
  const previous = lastCount;
  lastCount = { frames, at: now };
  if (!previous || frames < previous.frames || now === previous.at) return null;
  return ((frames - previous.frames) * 1000) / (now - previous.at);
}

// The runtime's state in words, with what to do when it is missing.
function runtimeText(bridge) {
  if (bridge.ndiRuntime === 'available') return bridge.ndiRuntimeDir ? `available, in ${bridge.ndiRuntimeDir}` : 'available';
  return `${bridge.ndiRuntime}: install the NDI runtime from its vendor, then start Kestovar Output Bridge again`;
}

// Records as text nodes: they hold what clients sent, which is never markup.
function showRecords(records) {
  const list = byId('records');
  list.replaceChildren(...records.map((record) => {
    const item = document.createElement('li');
    item.textContent = record;
    return item;
  }));
}

// The origins whose pages may publish, each with where it was allowed; settings files
// that were left out, with why.
function showAccess(bridge) {
  const list = byId('origins');
  list.replaceChildren(...bridge.origins.map(({ origin, from }) => {
    const item = document.createElement('li');
    item.textContent = `${origin} (${from})`;
    return item;
  }));
  const problems = byId('settings-problems');
  problems.hidden = bridge.settingsProblems.length === 0;
  problems.textContent = bridge.settingsProblems.map(({ file, reason }) => `${file} was not used: ${reason}`).join('\n');
}

// How often the bridge came back after ending unexpectedly, and why the last time.
function restartsText({ count, last }) {
  if (count === 0) return 'never: it has run since it was started';
  return `${count} ${count === 1 ? 'time' : 'times'}; last at ${new Date(last.at).toLocaleString()}, ` +
    `after it ended with exit code ${last.exitCode} when it had run ${duration(Math.floor(last.ranMs / 1000))}`;
}

function showStatus(status) {
  const { bridge, application } = status;
  byId('version').textContent = bridge.version;
  byId('address').textContent = `ws://127.0.0.1:${bridge.port}/`;
  byId('runtime').textContent = runtimeText(bridge);
  byId('refused').textContent = String(bridge.framesRefused);
  showRecords(bridge.recentLog);
  showAccess(bridge);
  byId('started').textContent = `${new Date(bridge.started).toLocaleString()} (${duration(bridge.uptimeSeconds)})`;
  byId('pid').textContent = String(bridge.pid);
  byId('restarts').textContent = restartsText(bridge.restarts);
  publishing = application !== null;
  byId('publishing').hidden = !publishing;
  if (!publishing) {
    lastCount = null;
    if (bridge.ndiRuntime === 'available') setState('waiting', 'Running: waiting for an application');
    else setState('problem', `Running, but the NDI runtime is ${bridge.ndiRuntime}: nothing can be published`);
    return;
  }
  const measured = measuredRate(application.frames);
  const idle = application.msSinceLastFrame === null || application.msSinceLastFrame > 2000;
  setState(idle ? 'waiting' : 'publishing',
    idle ? `Publishing “${application.source}”: no frame for a while` : `Publishing “${application.source}”`);
  byId('source').textContent = application.source;
  byId('size').textContent = `${application.width} × ${application.height} ${application.format}`;
  byId('rate').textContent = `${frameRate(application.fpsN, application.fpsD)} fps` +
    (measured === null ? '' : `, receiving ${measured.toFixed(1)} fps`);
  byId('frames').textContent = String(application.frames);
  byId('peer').textContent = `${application.peer}, connected ${duration(application.connectedSeconds)}`;
  startThumbnails();
}

function showGone() {
  gone = true;
  publishing = false;
  byId('publishing').hidden = true;
  byId('stop').disabled = true;
  setState('stopped', 'The bridge has stopped. Nothing is published. Start Kestovar Output Bridge to publish again.');
}

async function refreshStatus() {
  try {
    const answer = await fetch('/status.json', { cache: 'no-store' });
    if (!answer.ok) throw new Error(`HTTP ${answer.status}`);
    const status = await answer.json();
    startedAt ??= status.bridge.started;
    if (gone || status.bridge.started !== startedAt) {
      location.reload();
      return;
    }
    showStatus(status);
  } catch {
    showGone();
  }
  setTimeout(refreshStatus, gone ? GONE_EVERY_MS : STATUS_EVERY_MS);
}

// One thumbnail at a time, the next one half a second after the last arrived; none while
// the page is hidden or nothing is published, so a closed or hidden page costs nothing.
function startThumbnails() {
  if (thumbnailRunning || !publishing || gone || document.visibilityState !== 'visible') return;
  thumbnailRunning = true;
  const picture = new Image();
  picture.onload = () => {
    const canvas = byId('thumbnail');
    if (canvas.width !== picture.naturalWidth || canvas.height !== picture.naturalHeight) {
      canvas.width = picture.naturalWidth;
      canvas.height = picture.naturalHeight;
    }
    canvas.getContext('2d').drawImage(picture, 0, 0);
    canvas.dataset.loaded = String(thumbnailNumber);
    next();
  };
  picture.onerror = next;
  function next() {
    setTimeout(() => {
      thumbnailRunning = false;
      startThumbnails();
    }, THUMBNAIL_EVERY_MS);
  }
  picture.src = `/thumbnail.png?n=${++thumbnailNumber}`;
}

function stopBridge() {
  if (stopRequested || !window.confirm('Stop Kestovar Output Bridge? The application publishing through it is disconnected, and the NDI source goes away.')) return;
  stopRequested = true;
  byId('stop').disabled = true;
  setState('waiting', 'Stopping the bridge…');
  const socket = new WebSocket(`ws://${location.host}/`);
  socket.onopen = () => socket.send(JSON.stringify({ type: 'shutdown', token: stopKey }));
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === 'error') setState('problem', `The bridge refused to stop: ${message.message}`);
  };
  socket.onclose = (event) => {
    if (event.code !== 1000) {
      stopRequested = false;
      byId('stop').disabled = false;
      if (event.code !== 1008) setState('problem', `The stop request failed (${event.code}${event.reason ? `: ${event.reason}` : ''})`);
    }
  };
}

byId('stop').addEventListener('click', stopBridge);
document.addEventListener('visibilitychange', startThumbnails);
refreshStatus();
