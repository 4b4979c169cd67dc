'use strict';
// Who may use the bridge. The loopback interface is shared by every user session on the
// machine and by every web page in every browser, so reaching the port proves nothing:
// - a request that names a host other than loopback is a page that rebound its own name
//   to 127.0.0.1, and is refused;
// - a request with an Origin comes from a browser page, and only the origins the user
//   listed may go on;
// - whatever goes on must then show the token the bridge wrote into its state file,
//   which only the user who started the bridge can read.

const crypto = require('node:crypto');

const TOKEN_BYTES = 32;

// Only names that reach this machine's loopback, with any port.
function isLoopbackHost(host) {
  const name = /^(\[[^\]]*\]|[^:]*)(:\d+)?$/.exec(host || '');
  return name !== null && ['127.0.0.1', 'localhost', '[::1]'].includes(name[1].toLowerCase());
}

// "http://a:1, https://b" -> a Set of exact origins; empty entries are ignored.
function parseOriginList(text) {
  return new Set((text || '').split(',').map((origin) => origin.trim()).filter(Boolean));
}

// The HTTP refusal of an opening handshake, or null when it may go on.
function refuseUpgrade(headers, allowedOrigins) {
  if (!isLoopbackHost(headers.host)) {
    return { status: 403, message: 'the Host header must name the loopback interface' };
  }
  const origin = headers.origin;
  if (origin !== undefined && !allowedOrigins.has(origin)) {
    return { status: 403, message: 'origin not allowed: list it in KESTOVAR_BRIDGE_ORIGINS' };
  }
  return null;
}

function makeToken() {
  return crypto.randomBytes(TOKEN_BYTES).toString('hex');
}

// Compared in constant time, so the answer's timing tells nothing about how much of a
// guess was right.
function tokenMatches(expected, given) {
  if (typeof given !== 'string') return false;
  const want = Buffer.from(expected, 'utf8');
  const got = Buffer.from(given, 'utf8');
  if (got.length !== want.length) {
    crypto.timingSafeEqual(want, want);
    return false;
  }
  return crypto.timingSafeEqual(want, got);
}

// A first message shows its key (the token, or the status page's stop key) as itself, or
// as {nonce, proof}: HMAC-SHA256 of "kestovar-hello:" + a fresh nonce, keyed by it, so
// that a program holding a stale port never learns it.
function proofMatches(key, message) {
  if (message.nonce === undefined) return tokenMatches(key, message.token);
  return typeof message.nonce === 'string' && /^[0-9a-f]{32}$/.test(message.nonce) &&
    tokenMatches(keyProof(key, 'kestovar-hello:', message.nonce), message.proof);
}

function keyProof(key, label, nonce) {
  return crypto.createHmac('sha256', key).update(label + nonce).digest('hex');
}

module.exports = { isLoopbackHost, parseOriginList, refuseUpgrade, makeToken, tokenMatches, proofMatches, keyProof };
