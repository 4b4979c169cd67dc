'use strict';
// The status page: what the bridge is publishing, seen in a browser at
// http://127.0.0.1:<port>/. Plain HTTP requests on the bridge's port (anything that is
// not a WebSocket upgrade) are answered here:
//   GET /               the page (status-page/index.html, with this run's stop key)
//   GET /page.css, /page.js
//   GET /status.json    the bridge and the connected application, as JSON
//   GET /thumbnail.png  the last frame sent, at most 320 pixels wide (204: none yet)
// Anything else is 404. The page asks for the status every second and for a thumbnail
// twice a second while it is open and shown, so no page open means no thumbnail work.
//
// Who may read it is the door's decision (access.js): only requests that name the
// loopback host, and no other origin. The answers carry no CORS header, so a page of
// another origin can neither read them nor, with X-Frame-Options and frame-ancestors,
// show the page inside its own.
//
// The stop key. The page's Stop button sends {"type":"shutdown","token":<stop key>} over
// a WebSocket from the bridge's own origin. The stop key is not the bridge's token: the
// token lets its holder publish, and any local program, of any user of the machine, can
// read this page, as it can watch the NDI source on the network. The stop key lets its
// holder stop the bridge and nothing else, and only from the bridge's own origin, which
// no page of another origin can claim (its browser sets Origin) nor read this page from.

const fs = require('node:fs');
const path = require('node:path');
const { httpResponse: plainResponse, textResponse: plainText } = require('./handshake');
const { makeThumbnail } = require('./thumbnail');

const PAGE_DIR = path.join(__dirname, 'status-page');

// The same for every answer: nothing is cached, nothing is framed, nothing is shared
// with another origin.
const COMMON_HEADERS = {
  'Cache-Control': 'no-store',
  'Content-Security-Policy': "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
  'X-Frame-Options': 'DENY',
  'X-Content-Type-Options': 'nosniff',
  'Referrer-Policy': 'no-referrer',
};
// The status, the thumbnail and the page's files may not even be embedded by another
// origin (an <img> of the thumbnail elsewhere). The page itself goes without: the client
// library fetches / without CORS to tell a bridge that refused its origin from no bridge
// at all, and the page's HTML never reaches another origin anyway (the same-origin policy
// for reads; for embedding, browsers withhold HTML marked nosniff).
const SAME_ORIGIN_ONLY = { 'Cross-Origin-Resource-Policy': 'same-origin' };

const ASSETS = {
  '/page.css': { file: 'page.css', type: 'text/css; charset=utf-8' },
  '/page.js': { file: 'page.js', type: 'text/javascript; charset=utf-8' },
};

// An answer: its status, for the record, and its bytes.
function httpResponse(status, headers, body) {
  return { status, bytes: plainResponse(status, { ...COMMON_HEADERS, ...headers }, body) };
}

function textResponse(status, message, headers = {}) {
  return { status, bytes: plainText(status, message, { ...COMMON_HEADERS, ...headers }) };
}

// What /status.json says. bridge: { version, port, pid, startedAt, ndiRuntime,
// ndiRuntimeDir, framesRefused, recentLog, origins: [{ origin, from }], settingsProblems:
// [{ file, reason }], restarts: { count, last: null or { exitCode, ranMs, at } }, how often
// the monitor started the bridge again and why the last time }; application: the session's description, or
// null when none is publishing.
function statusReport(bridge, application, now = Date.now()) {
  return {
    bridge: {
      version: bridge.version,
      port: bridge.port,
      pid: bridge.pid,
      started: new Date(bridge.startedAt).toISOString(),
      uptimeSeconds: Math.floor((now - bridge.startedAt) / 1000),
      ndiRuntime: bridge.ndiRuntime,
      ndiRuntimeDir: bridge.ndiRuntimeDir,
      framesRefused: bridge.framesRefused,
      recentLog: bridge.recentLog,
      origins: bridge.origins,
      settingsProblems: bridge.settingsProblems,
      restarts: bridge.restarts,
    },
    application: application && {
      peer: application.peer,
      source: application.source,
      width: application.width,
      height: application.height,
      format: application.format,
      fpsN: application.fpsN,
      fpsD: application.fpsD,
      frames: application.frames,
      connectedSeconds: Math.floor((now - application.startedAt) / 1000),
      msSinceLastFrame: application.lastFrameAt ? now - application.lastFrameAt : null,
    },
  };
}

// The page's answers. bridge:
//   port, stopKey                the listening port and this run's stop key
//   describe()                   what statusReport takes, and application
//   withLastFrame(fn)            calls fn(frame, settings) with the last frame sent and
//                                returns its result, or returns null when there is none
function createStatusPage(bridge) {
  const page = fs.readFileSync(path.join(PAGE_DIR, 'index.html'), 'utf8').replace('%STOP_KEY%', bridge.stopKey);
  const assets = {};
  for (const [route, { file, type }] of Object.entries(ASSETS)) {
    assets[route] = { body: fs.readFileSync(path.join(PAGE_DIR, file)), type };
  }
  // The last thumbnail, kept while no new frame came: several open pages cost one.
  let thumbnail = { frames: -1, png: null };

  function thumbnailResponse() {
    const { application } = bridge.describe();
    if (!application || application.frames === 0) return httpResponse(204, {});
    if (thumbnail.frames !== application.frames) {
      const made = bridge.withLastFrame((frame, settings) => makeThumbnail(frame, settings));
      if (!made) return httpResponse(204, {});
      thumbnail = { frames: application.frames, png: made.png };
    }
    return httpResponse(200, { 'Content-Type': 'image/png', ...SAME_ORIGIN_ONLY }, thumbnail.png);
  }

  // request: { method, path, headers } of a request that is not a WebSocket upgrade, which
  // the door let through. Returns { status, bytes }.
  function answer(request) {
    if (request.method !== 'GET') return textResponse(405, 'only GET is answered', { Allow: 'GET' });
    const route = request.path.split('?')[0];
    if (route === '/') return httpResponse(200, { 'Content-Type': 'text/html; charset=utf-8' }, page);
    if (route === '/status.json') {
      const { application, ...rest } = bridge.describe();
      const body = JSON.stringify(statusReport(rest, application));
      return httpResponse(200, { 'Content-Type': 'application/json', ...SAME_ORIGIN_ONLY }, body);
    }
    if (route === '/thumbnail.png') return thumbnailResponse();
    if (assets[route]) {
      return httpResponse(200, { 'Content-Type': assets[route].type, ...SAME_ORIGIN_ONLY }, assets[route].body);
    }
    return textResponse(404, 'not found: the status page is at /');
  }

  return { answer };
}

module.exports = { createStatusPage, statusReport };
