'use strict';
// Headless Chromium driven over the DevTools protocol (with the pinned `ws`), for tests
// that need a real browser: its origin rules, its Content-Security-Policy, its frame
// refusal. Each browser gets a fresh profile directory.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const WebSocket = require('ws');
const { sleep, waitFor } = require('./wait.js');

const FLAGS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Starts Chromium; returns { openPage(url), close() }.
async function launchChromium(profileDir) {
  fs.rmSync(profileDir, { recursive: true, force: true });
  fs.mkdirSync(profileDir, { recursive: true });
  const log = fs.openSync(path.join(profileDir, 'chromium.log'), 'a');
  const child = spawn('chromium', [...FLAGS, `--user-data-dir=${profileDir}`, '--remote-debugging-port=0', 'about:blank'],
    { stdio: ['ignore', log, log] });
  fs.closeSync(log);
  const portFile = path.join(profileDir, 'DevToolsActivePort');
  const [port, browserPath] = await waitFor('Chromium to listen for DevTools', () => {
    const lines = fs.existsSync(portFile) ? fs.readFileSync(portFile, 'utf8').split('\n') : [];
    return lines.length >= 2 && lines[1] ? lines : null;
  }, 30000);
  const socket = new WebSocket(`ws://127.0.0.1:${port}${browserPath}`, { perMessageDeflate: false });
  await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });

  let nextId = 0;
  const pending = new Map();
  const listeners = new Set();
  socket.on('message', (data) => {
    const message = JSON.parse(data.toString());
    if (message.id !== undefined) {
      const { resolve, reject } = pending.get(message.id);
      pending.delete(message.id);
      if (message.error) reject(new Error(`${message.error.message} (${message.error.code})`));
      else resolve(message.result);
    } else {
      for (const listener of listeners) listener(message);
    }
  });
  function send(method, params = {}, sessionId) {
    const id = ++nextId;
    socket.send(JSON.stringify({ id, method, params, sessionId }));
    return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
  }

  // A new tab at url. Dialogs (confirm) are answered by the tab's `dialogAnswer`.
  async function openPage(url) {
    const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
    const call = (method, params) => send(method, params, sessionId);
    const page = {
      dialogs: [],
      dialogAnswer: true,
      call,
      async evaluate(expression) {
        const { result, exceptionDetails } = await call('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
        if (exceptionDetails) throw new Error(`in the page: ${exceptionDetails.exception?.description || exceptionDetails.text}`);
        return result.value;
      },
      // Polls an expression in the page until it gives something truthy.
      async waitFor(what, expression, timeoutMs = 30000) {
        const deadline = Date.now() + timeoutMs;
        for (;;) {
          const value = await page.evaluate(expression).catch(() => null);
          if (value) return value;
          if (Date.now() > deadline) throw new Error(`timed out waiting in the page for ${what}`);
          await sleep(100);
        }
      },
      // The whole page, below the fold too.
      async screenshot(file) {
        const { cssContentSize: size } = await call('Page.getLayoutMetrics');
        const clip = { x: 0, y: 0, width: Math.ceil(size.width), height: Math.ceil(size.height), scale: 1 };
        const { data } = await call('Page.captureScreenshot', { format: 'png', clip, captureBeyondViewport: true });
        fs.writeFileSync(file, Buffer.from(data, 'base64'));
      },
      async navigate(to) {
        const loaded = new Promise((resolve) => {
          const onEvent = (m) => {
            if (m.sessionId === sessionId && m.method === 'Page.loadEventFired') {
              listeners.delete(onEvent);
              resolve();
            }
          };
          listeners.add(onEvent);
        });
        await call('Page.navigate', { url: to });
        await loaded;
      },
      close: () => send('Target.closeTarget', { targetId }),
    };
    // Events of this tab: page.on('Network.responseReceived', (params) => ...).
    page.on = (method, handler) => listeners.add((m) => {
      if (m.sessionId === sessionId && m.method === method) handler(m.params);
    });
    listeners.add((m) => {
      if (m.sessionId === sessionId && m.method === 'Page.javascriptDialogOpening') {
        page.dialogs.push(m.params.message);
        call('Page.handleJavaScriptDialog', { accept: page.dialogAnswer }).catch(() => {});
      }
    });
    await call('Page.enable');
    await call('Runtime.enable');
    await call('Emulation.setDeviceMetricsOverride', { width: 760, height: 720, deviceScaleFactor: 1, mobile: false });
    await page.navigate(url);
    return page;
  }

  return {
    openPage,
    async close() {
      socket.close();
      child.kill('SIGTERM');
      await new Promise((resolve) => (child.exitCode !== null ? resolve() : child.once('exit', resolve)));
    },
  };
}

module.exports = { launchChromium };
