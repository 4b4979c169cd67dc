'use strict';
// The addon's six functions in plain JavaScript, for running the bridge in this machine's
// node: it keeps what it was asked in `calls` and the frames it was handed (their
// checksums) in `frames`, and behaves as the addon does for a runtime that takes
// everything (or none, with available: false). startFakeBridge runs the bridge on it.
const crypto = require('node:crypto');
const { createBridge } = require('../../app/src/bridge');
const { unmaskInJs } = require('../../app/src/frame-parser');
const { adoptState } = require('./clients');

function createFakeAddon({ available = true, refuseStart = false } = {}) {
  const calls = [];
  const frames = [];
  let sender = null;
  return {
    calls,
    frames,
    isAvailable: () => available,
    start(name, width, height, fpsN, fpsD, format) {
      calls.push(['start', name, width, height, fpsN, fpsD, format]);
      if (!available) return false;
      if (!sender && !refuseStart) sender = { frameBytes: width * height * (format === 'UYVY' ? 2 : 4) };
      return sender !== null;
    },
    sendFrame(buffer) {
      if (!sender || buffer.length !== sender.frameBytes) return false;
      frames.push(crypto.createHash('sha1').update(buffer).digest('hex'));
      return true;
    },
    stop() {
      if (sender) calls.push(['stop']);
      sender = null;
      return true;
    },
    isRunning: () => sender !== null,
    unmaskFrame: unmaskInJs,
  };
}

// The bridge itself in this process, its state in env's KESTOVAR_BRIDGE_STATE_DIR.
async function startFakeBridge(t, env, ndi = createFakeAddon()) {
  const bridge = createBridge({ ndi, env: { KESTOVAR_BRIDGE_PORT: '0', ...env } });
  const { port } = await bridge.listening;
  t.after(() => bridge.stop());
  const state = adoptState(env.KESTOVAR_BRIDGE_STATE_DIR);
  return { bridge, ndi, port, token: state.token, state, stateDir: env.KESTOVAR_BRIDGE_STATE_DIR };
}

module.exports = { createFakeAddon, startFakeBridge };
