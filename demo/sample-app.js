'use strict';
// The sample application: publishes a moving test pattern through the bridge as raw RGBA
// frames at a steady rate for a few seconds. The client library finds the bridge's port
// and token in its state file (KESTOVAR_BRIDGE_STATE_DIR, else the per-user default).
// Usage: node demo/sample-app.js [WIDTH HEIGHT FPS SECONDS]
const { connect } = require('../client/index.cjs');
const { createPattern } = require('./pattern');

const [width = 1280, height = 720, fps = 30, seconds = 5] = process.argv.slice(2).map(Number);

async function main() {
  const bridge = await connect({ source: 'Kestovar demo pattern', width, height, fps });
  console.log(`sample app: bridge ready for ${width}x${height} RGBA at ${fps} fps; status page ${bridge.statusPage}`);
  const draw = createPattern(width, height);
  // One buffer serves every frame: sendFrame is done with it once it resolves.
  const frame = Buffer.alloc(bridge.frameBytes);
  const total = Math.round(fps * seconds);
  const start = performance.now();
  for (let n = 0; n < total; n++) {
    const wait = start + (n * 1000) / fps - performance.now();
    if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
    await bridge.sendFrame(draw(frame, n));
  }
  const elapsed = (performance.now() - start) / 1000;
  console.log(`sample app: sent ${bridge.sent} frames in ${elapsed.toFixed(2)} s (${(bridge.sent / elapsed).toFixed(1)} fps)`);
  await bridge.close();
}

main().catch((error) => {
  console.error(`sample app: ${error.message} [${error.code}]`);
  process.exitCode = 1;
});
