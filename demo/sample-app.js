'use strict';
// The sample application: finds the bridge through its state file (port and token),
// connects over WebSocket, says hello, and sends a moving test pattern as raw RGBA frames
// at a steady rate for a few seconds.
// Usage: node demo/sample-app.js [WIDTH HEIGHT FPS SECONDS]
// (KESTOVAR_BRIDGE_STATE_DIR names the state file's directory, as for the bridge.)
const fs = require('node:fs');
const path = require('node:path');
const WebSocket = require('ws');
const { createPattern } = require('./pattern');

const [width = 1280, height = 720, fps = 30, seconds = 5] = process.argv.slice(2).map(Number);
const stateDir = process.env.KESTOVAR_BRIDGE_STATE_DIR ||
  path.join(process.env.LOCALAPPDATA || '', 'Tarnwell', 'Kestovar Output Bridge');
const { port, token } = JSON.parse(fs.readFileSync(path.join(stateDir, 'bridge.json'), 'utf8'));

const socket = new WebSocket(`ws://127.0.0.1:${port}/`, { perMessageDeflate: false });
const draw = createPattern(width, height);
// Two buffers: one is drawn while the other may still be queued for sending.
const frames = [Buffer.alloc(width * height * 4), Buffer.alloc(width * height * 4)];
const total = Math.round(fps * seconds);

function sendFrame(frame) {
  return new Promise((resolve, reject) => socket.send(frame, { binary: true }, (e) => (e ? reject(e) : resolve())));
}

async function run() {
  const start = performance.now();
  let late = 0;
  for (let n = 0; n < total; n++) {
    const due = start + (n * 1000) / fps;
    const wait = due - performance.now();
    if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
    else if (wait < -1000 / fps) late++;
    await sendFrame(draw(frames[n % 2], n));
  }
  const elapsed = (performance.now() - start) / 1000;
  console.log(`sample app: sent ${total} frames of ${width}x${height} RGBA in ${elapsed.toFixed(2)} s ` +
    `(${(total / elapsed).toFixed(1)} fps${late ? `, ${late} late` : ''})`);
  socket.close(1000, 'demo done');
}

socket.on('open', () => {
  socket.send(JSON.stringify({ type: 'hello', token, source: 'Kestovar demo pattern', width, height, fpsN: fps, fpsD: 1, format: 'RGBA' }));
});
socket.on('message', (data) => {
  const message = JSON.parse(data.toString());
  if (message.type === 'ready') {
    console.log(`sample app: bridge ready for ${message.width}x${message.height} ${message.format} at ${message.fpsN}/${message.fpsD} fps`);
    run().catch((e) => {
      console.error(`sample app: ${e.message}`);
      process.exitCode = 1;
    });
  } else if (message.type === 'error') {
    console.error(`sample app: the bridge refused: ${message.message}`);
    process.exitCode = 1;
  }
});
socket.on('error', (e) => {
  console.error(`sample app: ${e.message}`);
  process.exitCode = 1;
});
