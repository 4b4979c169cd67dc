'use strict';
// The status page's pure parts, in this machine's node: the thumbnail of a frame in both
// formats, and the HTTP answers (what is served, to whom, with which headers).
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const zlib = require('node:zlib');
const src = path.join(__dirname, '..', '..', 'app', 'src');
const { makeThumbnail, thumbnailSize, frameToRgba } = require(path.join(src, 'thumbnail'));
const { createStatusPage } = require(path.join(src, 'status'));
const { BARS, createPattern } = require('../../demo/pattern');
const { rgbaToUyvy } = require('./uyvy');


function decodePng(png) {
  const width = png.readUInt32BE(16);
  const height = png.readUInt32BE(20);
  const idat = png.subarray(41, 41 + png.readUInt32BE(33));
  const raw = zlib.inflateSync(idat);
  const rgba = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; y++) raw.copy(rgba, y * width * 4, y * (width * 4 + 1) + 1, (y + 1) * (width * 4 + 1));
  return { width, height, rgba };
}

function pixel({ width, rgba }, x, y) {
  const i = (y * width + x) * 4;
  return [...rgba.subarray(i, i + 4)];
}

function assertNear(actual, wanted, tolerance, what) {
  assert.ok(actual.every((v, i) => Math.abs(v - wanted[i]) <= tolerance), `${what}: ${actual} vs ${wanted}`);
}

test('the thumbnail shows the pattern at most 320 pixels wide, in RGBA and UYVY', () => {
  const [width, height] = [1920, 1080];
  const rgba = createPattern(width, height)(Buffer.alloc(width * height * 4), 0);
  const frames = { RGBA: rgba, UYVY: rgbaToUyvy(rgba, width, height) };
  for (const [format, frame] of Object.entries(frames)) {
    const before = Buffer.from(frame);
    const thumbnail = makeThumbnail(frame, { width, height, format });
    assert.ok(frame.equals(before), `${format}: the frame is only read`);
    const picture = decodePng(thumbnail.png);
    assert.deepEqual([picture.width, picture.height, thumbnail.width], [320, 180, 320]);
    const tolerance = format === 'RGBA' ? 0 : 2;
    // Each bar's colour at its middle, halfway down the bars (above the sweeping box's row
    // only for bars it is not on at frame 0: the box starts at x=0).
    BARS.forEach((colour, i) => {
      const x = Math.round(((i + 0.5) * 320) / 7);
      assertNear(pixel(picture, x, 30), [...colour, 255], tolerance, `${format} bar ${i}`);
    });
    // The grey ramp under the bars: dark at the left, light at the right.
    assertNear(pixel(picture, 0, 170), [0, 0, 0, 255], tolerance + 1, `${format} ramp start`);
    assertNear(pixel(picture, 319, 170), [255, 255, 255, 255], tolerance + 1, `${format} ramp end`);
  }
});

test('a UYVY pair gives each pixel its own luma; small frames keep their size', () => {
  // Two pixels: black then white, sharing neutral chroma.
  const uyvy = Buffer.from([128, 16, 128, 235, 128, 16, 128, 235]);
  const rgba = frameToRgba(uyvy, { width: 2, height: 2, format: 'UYVY' });
  assert.deepEqual([...rgba.subarray(0, 8)], [0, 0, 0, 255, 255, 255, 255, 255]);
  assert.deepEqual(thumbnailSize(200, 100), { width: 200, height: 100 });
  assert.deepEqual(thumbnailSize(3840, 2160), { width: 320, height: 180 });
  assert.deepEqual(thumbnailSize(8192, 2), { width: 320, height: 1 });
});

function parse(response) {
  const text = response.toString('latin1');
  const end = text.indexOf('\r\n\r\n');
  const headers = {};
  for (const line of text.slice(0, end).split('\r\n').slice(1)) {
    const colon = line.indexOf(':');
    headers[line.slice(0, colon).toLowerCase()] = line.slice(colon + 1).trim();
  }
  return { head: text.slice(0, end), headers, body: response.subarray(end + 4) };
}

function fakeBridge() {
  const bridge = {
    port: 17480,
    stopKey: 'ab'.repeat(32),
    reads: 0,
    application: null,
    frame: null,
    describe: () => ({ port: 17480, pid: 42, startedAt: Date.parse('2026-12-07T14:00:00Z'), ndiRuntime: 'available', application: bridge.application }),
    withLastFrame: (fn) => (bridge.frame ? (bridge.reads++, fn(bridge.frame, { width: 640, height: 360, format: 'RGBA' })) : null),
  };
  return bridge;
}

test('the page, its files, the status and the thumbnail are never framed or shared', () => {
  const bridge = fakeBridge();
  const page = createStatusPage(bridge);
  const reply = ({ status, bytes }) => ({ status, response: bytes });
  const get = (route, headers = {}) => reply(page.answer({ method: 'GET', path: route, headers: { host: '127.0.0.1:17480', ...headers } }));

  const index = get('/');
  assert.equal(index.status, 200);
  const { headers, body } = parse(index.response);
  assert.match(headers['content-security-policy'], /^default-src 'self'/);
  assert.equal(headers['x-frame-options'], 'DENY');
  assert.equal(headers['cache-control'], 'no-store');
  assert.ok(!Object.keys(headers).some((h) => h.startsWith('access-control-')), 'no CORS header');
  assert.match(body.toString(), new RegExp(`<meta name="stop-key" content="${bridge.stopKey}">`));
  assert.doesNotMatch(body.toString(), /<script>|<style>|style=/, 'nothing inline: the policy forbids it');
  assert.equal(parse(get('/page.js').response).headers['content-type'], 'text/javascript; charset=utf-8');
  assert.equal(get('/page.css').status, 200);

  const refusals = [
    [get('/favicon.ico'), 404],
    [get('/status-page/index.html'), 404],
    [reply(page.answer({ method: 'POST', path: '/', headers: { host: 'localhost:17480' } })), 405],
  ];
  for (const [answer, status] of refusals) assert.equal(answer.status, status, parse(answer.response).head);

  const answer = parse(get('/status.json').response);
  assert.equal(answer.headers['cross-origin-resource-policy'], 'same-origin');
  let status = JSON.parse(answer.body);
  assert.equal(status.application, null);
  assert.equal(status.bridge.ndiRuntime, 'available');
  assert.equal(get('/thumbnail.png').status, 204, 'no application, no thumbnail');

  bridge.application = { peer: '127.0.0.1:5000', source: 'Stage', width: 640, height: 360, format: 'RGBA', fpsN: 30000, fpsD: 1001, frames: 7, startedAt: Date.now() - 5000, lastFrameAt: Date.now() };
  bridge.frame = createPattern(640, 360)(Buffer.alloc(640 * 360 * 4), 7);
  status = JSON.parse(parse(get('/status.json').response).body);
  assert.deepEqual([status.application.source, status.application.fpsN, status.application.fpsD, status.application.frames], ['Stage', 30000, 1001, 7]);
  assert.equal(status.application.connectedSeconds, 5);
  const first = get('/thumbnail.png?n=1');
  assert.equal(first.status, 200);
  assert.equal(parse(first.response).headers['content-type'], 'image/png');
  assert.equal(decodePng(parse(first.response).body).width, 320);
  // Until a new frame is sent, further requests are answered from the same thumbnail.
  get('/thumbnail.png?n=2');
  assert.equal(bridge.reads, 1);
  bridge.application.frames = 8;
  get('/thumbnail.png?n=3');
  assert.equal(bridge.reads, 2);
});
