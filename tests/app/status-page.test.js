'use strict';
// The status page in a real browser (headless Chromium) against the installed bridge
// under Wine, while an application streams the demo pattern: what it shows, the
// thumbnail's colours in RGBA and UYVY, what pages of other origins can and cannot do,
// and the Stop button ending the bridge in order.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const rig = require('../rig');
const { launchChromium } = require('../rig/chromium');
const { BARS, createPattern } = require('../../demo/pattern');
const { rgbaToUyvy } = require('./uyvy');

const work = rig.workDir('app', 'status-page');


let bridge;
let ndiLog;
let browser;
let page;
let foreign;
let streaming;

// A web server of another origin: http://127.0.0.1:<port> is listed in
// KESTOVAR_BRIDGE_ORIGINS (an application's page), http://localhost:<port> is not.
function startForeignServer() {
  const server = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end('<!doctype html><title>another origin</title><p>another origin</p>');
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// An application streaming the demo pattern (a few frames of it in turn) until stopped.
async function streamPattern({ source, width, height, format, fps }) {
  const draw = createPattern(width, height);
  const frames = [0, 40, 80, 120].map((n) => {
    const rgba = draw(Buffer.alloc(width * height * 4), n);
    return format === 'UYVY' ? rgbaToUyvy(rgba, width, height) : rgba;
  });
  const client = await rig.openSession(bridge.port, { type: 'hello', source, width, height, fpsN: fps, fpsD: 1, format });
  let running = true;
  let sent = 0;
  const loop = (async () => {
    const start = performance.now();
    while (running && client.socket.readyState === 1) {
      await client.send(frames[sent % frames.length], { binary: true }).catch(() => {});
      sent++;
      const wait = start + (sent * 1000) / fps - performance.now();
      if (wait > 0) await rig.sleep(wait);
    }
  })();
  return {
    client,
    sent: () => sent,
    async stop() {
      running = false;
      await loop;
    },
    async leave() {
      await this.stop();
      client.socket.close(1000);
      await client.done;
    },
  };
}

function pageText(id) {
  return page.evaluate(`document.getElementById(${JSON.stringify(id)}).textContent`);
}

// The thumbnail's pixels at the bar centres, a tenth of the way down (above the sweeping
// box and the frame number, so every frame shows the bars there), read from the page's
// canvas once a new thumbnail has arrived.
async function thumbnailBars() {
  const before = Number(await page.evaluate("document.getElementById('thumbnail').dataset.loaded || 0"));
  await page.waitFor('a new thumbnail', `Number(document.getElementById('thumbnail').dataset.loaded || 0) > ${before}`);
  return page.evaluate(`(() => {
    const canvas = document.getElementById('thumbnail');
    const context = canvas.getContext('2d');
    const y = Math.round(canvas.height / 10);
    const bars = [0, 1, 2, 3, 4, 5, 6].map((i) => [...context.getImageData(Math.round((i + 0.5) * canvas.width / 7), y, 1, 1).data]);
    return { width: canvas.width, height: canvas.height, bars };
  })()`);
}

function assertBars(seen, tolerance, what) {
  seen.bars.forEach((pixel, i) => {
    const wanted = [...BARS[i], 255];
    assert.ok(pixel.every((v, k) => Math.abs(v - wanted[k]) <= tolerance), `${what} bar ${i}: ${pixel} vs ${wanted}`);
  });
}

test.before(async () => {
  foreign = await startForeignServer();
  ({ bridge, ndiLog } = await rig.startStandinBridge({
    dir: work,
    env: { NDI_STANDIN_CHECKSUM: '0', KESTOVAR_BRIDGE_ORIGINS: `http://127.0.0.1:${foreign.address().port}` },
  }));
  browser = await launchChromium(path.join(work, 'chromium'));
});

test.after(async () => {
  if (streaming) await streaming.stop();
  if (browser) await browser.close();
  if (bridge) await bridge.stop();
  if (foreign) foreign.close();
});

test('the page shows the source, its size and rate, and a thumbnail true to the pattern in RGBA and UYVY', async (t) => {
  const rgba = await streamPattern({ source: 'Stage left ✓', width: 1280, height: 720, format: 'RGBA', fps: 25 });
  page = await browser.openPage(`http://127.0.0.1:${bridge.port}/`);
  await page.waitFor('the source', "document.getElementById('source').textContent === 'Stage left ✓'");
  assert.equal(await pageText('size'), '1280 × 720 RGBA');
  await page.waitFor('a measured rate', "document.getElementById('rate').textContent.includes('receiving')");
  assert.match(await pageText('rate'), /^25 fps, receiving \d+\.\d fps$/);
  assert.match(await pageText('state'), /^Publishing “Stage left ✓”/);
  assert.equal(await page.evaluate("document.getElementById('publishing').hidden"), false);
  assert.equal(await page.evaluate('document.visibilityState'), 'visible');
  assert.deepEqual([await pageText('version'), await pageText('refused')], [rig.VERSION, '0']);
  assert.match(await pageText('runtime'), /^available/);
  await page.waitFor('the log', "document.getElementById('records').textContent.includes('sender_started')");
  assert.match(await pageText('records'), /bridge pid=\d+ sender_started .*source="Stage left ✓"/);
  const seenRgba = await thumbnailBars();
  assert.deepEqual([seenRgba.width, seenRgba.height], [320, 180]);
  assertBars(seenRgba, 0, 'RGBA');
  const shot = path.join(work, 'status-page.png');
  await page.screenshot(shot);
  t.diagnostic(`screenshot: ${shot}`);
  await rgba.leave();

  // The page follows the next application by itself.
  await page.waitFor('no application', "document.getElementById('publishing').hidden");
  const uyvy = await streamPattern({ source: 'Stage right', width: 1920, height: 1080, format: 'UYVY', fps: 10 });
  await page.waitFor('the second source', "document.getElementById('source').textContent === 'Stage right'");
  assert.equal(await pageText('size'), '1920 × 1080 UYVY');
  assertBars(await thumbnailBars(), 2, 'UYVY');
  streaming = uyvy;
});

test('other origins can neither read the page nor stop the bridge, and the page is never framed', async () => {
  const foreignPort = foreign.address().port;
  const stopKey = await page.evaluate("document.querySelector('meta[name=\"stop-key\"]').content");
  assert.match(stopKey, /^[0-9a-f]{64}$/);
  assert.notEqual(stopKey, bridge.token, 'the page does not carry the token that lets its reader publish');

  // A page that rebinds its own name to 127.0.0.1 names another host.
  const rebound = await rig.rawConnect(bridge.port, { request: 'GET / HTTP/1.1\r\nHost: attacker.example\r\n\r\n' });
  assert.equal((await rebound.closed(10000)).status, 403);

  const listed = await browser.openPage(`http://127.0.0.1:${foreignPort}/`);
  const unlisted = await browser.openPage(`http://localhost:${foreignPort}/`);
  const bridgeUrl = `http://127.0.0.1:${bridge.port}`;
  // What a page of another origin gets when it tries: reading, then stopping with the
  // stop key it would have needed to read first.
  const attempt = `(async () => {
    const read = await fetch('${bridgeUrl}/').then((r) => r.text()).then(() => 'read', (e) => e.name);
    const status = await fetch('${bridgeUrl}/status.json').then((r) => r.text()).then(() => 'read', (e) => e.name);
    const stop = await new Promise((resolve) => {
      const socket = new WebSocket('ws://127.0.0.1:${bridge.port}/');
      const got = [];
      socket.onopen = () => socket.send(JSON.stringify({ type: 'shutdown', token: '${stopKey}' }));
      socket.onmessage = (event) => got.push(JSON.parse(event.data).error);
      socket.onclose = (event) => resolve({ code: event.code, errors: got });
    });
    return { read, status, stop };
  })()`;
  assert.deepEqual(await listed.evaluate(attempt), { read: 'TypeError', status: 'TypeError', stop: { code: 1008, errors: ['bad_token'] } });
  assert.deepEqual(await unlisted.evaluate(attempt), { read: 'TypeError', status: 'TypeError', stop: { code: 1006, errors: [] } });

  // In a frame, the browser refuses to show the page.
  await listed.evaluate(`new Promise((resolve) => {
    const frame = document.createElement('iframe');
    frame.src = '${bridgeUrl}/';
    frame.onload = resolve;
    document.body.append(frame);
  })`);
  const { frameTree } = await listed.call('Page.getFrameTree');
  assert.equal(frameTree.childFrames.length, 1);
  const child = frameTree.childFrames[0].frame;
  assert.notEqual(child.url, `${bridgeUrl}/`, `the frame shows ${child.url}`);
  assert.equal(child.unreachableUrl, `${bridgeUrl}/`);
  await listed.close();
  await unlisted.close();
  assert.equal(bridge.alive(), true);
  assert.ok(!bridge.records().some((r) => r.event === 'shutdown'));
});

test('Stop asks first, then ends the bridge in order, and the page says it has stopped', async () => {
  const app = streaming;
  page.dialogAnswer = false;
  await page.evaluate("document.getElementById('stop').click()");
  assert.equal(page.dialogs.length, 1);
  assert.match(page.dialogs[0], /^Stop Kestovar Output Bridge\?/);
  assert.equal(bridge.alive(), true, 'a stop that was not confirmed does nothing');

  page.dialogAnswer = true;
  await page.evaluate("document.getElementById('stop').click()");
  const { code, reason } = await app.client.done;
  assert.equal(code, 1001);
  assert.match(reason, /shutting down/);
  assert.equal((await bridge.exited).code, 0);
  await app.stop();
  await page.waitFor('the stopped state', "document.getElementById('state').textContent.startsWith('The bridge has stopped')");
  assert.equal(await page.evaluate("document.getElementById('stop').disabled"), true);

  // The sender was flushed and destroyed before the process left; the state file went.
  const events = ndiLog.all().filter((e) => ['send_video', 'flush', 'send_destroy'].includes(e.event));
  assert.deepEqual(events.slice(-2).map((e) => e.event), ['flush', 'send_destroy']);
  assert.ok(!fs.existsSync(path.join(bridge.stateDir, 'bridge.json')));
  const records = bridge.records();
  assert.ok(records.some((r) => r.event === 'shutdown' && r.reason === 'request'));
  assert.ok(records.some((r) => r.event === 'client_closed' && r.code === '1001'));
});
