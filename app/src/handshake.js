'use strict';
// The HTTP side of the bridge's port: a connection's first phase (readRequest), which
// reads the request head, tells a WebSocket opening handshake (RFC 6455, version 13, no
// extensions, no subprotocols) from a plain request, and writes every HTTP answer the
// bridge gives, the status page's included.

const crypto = require('node:crypto');
const log = require('./log');

const HANDSHAKE_GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const MAX_HEAD_BYTES = 8192;

const STATUS_TEXT = {
  101: 'Switching Protocols', 200: 'OK', 204: 'No Content', 400: 'Bad Request', 403: 'Forbidden',
  404: 'Not Found', 405: 'Method Not Allowed', 408: 'Request Timeout', 426: 'Upgrade Required',
  431: 'Request Header Fields Too Large',
};

// A refused request: answered with this HTTP status and message instead of an upgrade.
class HandshakeError extends Error {
  constructor(status, message, headers = {}) {
    super(message);
    this.status = status;
    this.headers = headers;
  }
}

function acceptKey(key) {
  return crypto.createHash('sha1').update(key + HANDSHAKE_GUID).digest('base64');
}

function headerTokens(value) {
  return (value || '').toLowerCase().split(',').map((t) => t.trim()).filter(Boolean);
}

// Where a request head ends in what has arrived so far: the offset of the blank line, -1
// while it may still come. Throws HandshakeError for a head over the limit.
function findHeadEnd(bytes) {
  const end = bytes.indexOf('\r\n\r\n');
  if (end > MAX_HEAD_BYTES || (end < 0 && bytes.length > MAX_HEAD_BYTES)) {
    throw new HandshakeError(431, 'request head over 8 KiB');
  }
  return end;
}

// Reads a request head (everything before the blank line): { method, path, headers },
// header names in lower case. Throws HandshakeError for a malformed one.
function parseRequestHead(head) {
  const lines = head.split('\r\n');
  const request = /^([A-Z]+) (\S+) HTTP\/(\d+)\.(\d+)$/.exec(lines[0]);
  if (!request) throw new HandshakeError(400, 'malformed request line');
  const [, method, path, major, minor] = request;
  if (Number(major) < 1 || (Number(major) === 1 && Number(minor) < 1)) {
    throw new HandshakeError(400, 'HTTP/1.1 or later is required');
  }
  const headers = Object.create(null);
  for (const line of lines.slice(1)) {
    const colon = line.indexOf(':');
    if (colon <= 0) throw new HandshakeError(400, 'malformed header line');
    const name = line.slice(0, colon).trim().toLowerCase();
    const value = line.slice(colon + 1).trim();
    headers[name] = name in headers ? `${headers[name]}, ${value}` : value;
  }
  return { method, path, headers };
}

// A request that asks for a WebSocket; anything else is plain HTTP.
function wantsWebSocket(request) {
  return headerTokens(request.headers.upgrade).includes('websocket');
}

// Checks a parsed request as a version 13 WebSocket opening handshake. Returns
// { path, headers, key }; throws HandshakeError for anything else.
function checkUpgradeRequest({ method, path, headers }) {
  if (method !== 'GET') throw new HandshakeError(405, 'only GET opens a WebSocket', { Allow: 'GET' });
  if (!headerTokens(headers.upgrade).includes('websocket')) {
    throw new HandshakeError(426, 'this endpoint only speaks WebSocket', { Upgrade: 'websocket' });
  }
  if (!headerTokens(headers.connection).includes('upgrade')) {
    throw new HandshakeError(400, 'Connection header must include Upgrade');
  }
  if (headers['sec-websocket-version'] !== '13') {
    throw new HandshakeError(426, 'WebSocket version 13 is required', { 'Sec-WebSocket-Version': '13' });
  }
  const key = headers['sec-websocket-key'] || '';
  if (!/^[A-Za-z0-9+/]{22}==$/.test(key) || Buffer.from(key, 'base64').length !== 16) {
    throw new HandshakeError(400, 'Sec-WebSocket-Key must be 16 bytes in base64');
  }
  return { path, headers, key };
}

function upgradeResponse(key) {
  return Buffer.from('HTTP/1.1 101 Switching Protocols\r\n' +
    'Upgrade: websocket\r\n' +
    'Connection: Upgrade\r\n' +
    `Sec-WebSocket-Accept: ${acceptKey(key)}\r\n\r\n`, 'latin1');
}

// One whole HTTP answer, after which the bridge closes the connection.
function httpResponse(status, headers = {}, body = '') {
  const bytes = typeof body === 'string' ? Buffer.from(body, 'utf8') : body;
  let head = `HTTP/1.1 ${status} ${STATUS_TEXT[status] || 'Error'}\r\n`;
  for (const [name, value] of Object.entries(headers)) head += `${name}: ${value}\r\n`;
  head += `Content-Length: ${bytes.length}\r\nConnection: close\r\n\r\n`;
  return Buffer.concat([Buffer.from(head, 'latin1'), bytes]);
}

// A short plain-text answer: refusals, and pages that are not there.
function textResponse(status, message, headers = {}) {
  return httpResponse(status, { 'Content-Type': 'text/plain; charset=utf-8', ...headers }, message + '\n');
}

// The HTTP phase of a connection (connection.js): collects the request head, then answers
// a plain request (the status page, or the door's refusal) and ends, or writes the upgrade
// of a WebSocket request the door lets in and hands the connection on.
//   connection  { id, peer, write(bytes), endWith(bytes), upgraded(request, rest) }:
//               rest is what the client sent after its head
//   door        { access, statusPage }: who may in (access.js), the page (status.js)
// Returns { push(chunk), expire() }: expire refuses a head that did not come in time.
function readRequest(connection, { access, statusPage }) {
  const { id, peer } = connection;
  let head = Buffer.alloc(0);

  function refuse(status, message, headers) {
    log.logLimited('handshake_refused', { id, peer, status, reason: message });
    connection.endWith(textResponse(status, message, headers));
  }

  function push(chunk) {
    head = Buffer.concat([head, chunk]);
    let request;
    let end;
    try {
      end = findHeadEnd(head);
      if (end < 0) return;
      request = parseRequestHead(head.subarray(0, end).toString('latin1'));
      if (!wantsWebSocket(request)) return answerPage(request);
      request = checkUpgradeRequest(request);
    } catch (error) {
      if (!(error instanceof HandshakeError)) throw error;
      return refuse(error.status, error.message, error.headers);
    }
    const rest = head.subarray(end + 4);
    head = null;
    upgrade(request, rest);
  }

  // A plain request: the status page's answer, then the connection ends.
  function answerPage(request) {
    const refusal = access.refusePage(request.headers);
    const { status, bytes } = refusal
      ? { status: refusal.status, bytes: textResponse(refusal.status, refusal.message) }
      : statusPage.answer(request);
    // Refusals are worth a record; a path that is not there (a browser's favicon) is not.
    if (status >= 400 && status !== 404) {
      const { host = 'none', origin = 'none' } = request.headers;
      log.logLimited('page_refused', {
        id, peer, status, method: request.method, path: log.clip(request.path), host: log.clip(host), origin: log.clip(origin),
      });
    }
    connection.endWith(bytes);
  }

  function upgrade(request, rest) {
    const refusal = access.refuseUpgrade(request.headers);
    if (refusal) return refuse(refusal.status, refusal.message);
    connection.write(upgradeResponse(request.key));
    connection.upgraded(request, rest);
  }

  return { push, expire: () => refuse(408, 'no request head in time') };
}

module.exports = {
  MAX_HEAD_BYTES, HandshakeError, acceptKey, findHeadEnd, parseRequestHead, wantsWebSocket,
  checkUpgradeRequest, upgradeResponse, httpResponse, textResponse, readRequest,
};
