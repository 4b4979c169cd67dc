'use strict';
// Who may use the bridge, decided in one place for every request on its port. The
// loopback interface is shared by every user session on the machine and by every web
// page in every browser, so reaching the port proves nothing:
// - a request that names a host other than loopback is a page that rebound its own name
//   to 127.0.0.1, and is refused;
// - a request with an Origin comes from a browser page: a WebSocket only from an origin
//   the user listed or from the status page itself, a plain request (the status page)
//   only from the page itself;
// - whatever goes on must then show the token the bridge wrote into its state file,
//   which only the user who started the bridge can read. A client may prove it holds the
//   token without sending it (an HMAC of a nonce of its own and of the message's type),
//   and the bridge proves the same back, so that neither gives the token to whoever
//   listens on the port. A proof is good once: whoever catches one (a program squatting
//   on [::1] when a client names localhost) can neither send it again nor use it for
//   another kind of message.

const crypto = require('node:crypto');

const TOKEN_BYTES = 32;
const NONCE_PATTERN = /^[0-9a-f]{32,128}$/;
// Nonces already accepted with this token, oldest first. Only a proof made with the token
// gets a nonce in, so strangers cannot fill it; the bound only keeps a long life small.
const MAX_ACCEPTED_NONCES = 4096;
const acceptedNonces = new Set();
// Told of each nonce accepted: a monitor keeps them for the next bridge it starts with the
// same token.
let nonceAccepted = () => {};

// Only names that reach this machine's loopback, with any port.
function isLoopbackHost(host) {
  const name = /^(\[[^\]]*\]|[^:]*)(:\d+)?$/.exec(host || '');
  return name !== null && ['127.0.0.1', 'localhost', '[::1]'].includes(name[1].toLowerCase());
}

// An origin exactly as a browser sends it: http or https, a host, a port only when it is
// not the scheme's own, nothing after it. "null" (sandboxed frames, files) is none.
function isOrigin(text) {
  if (typeof text !== 'string') return false;
  try {
    const url = new URL(text);
    return (url.protocol === 'http:' || url.protocol === 'https:') && url.origin === text;
  } catch {
    return false;
  }
}

// "http://a:1, https://b" -> { origins, invalid }: every entry must be an origin; an
// empty list (no text) allows none.
function parseOriginList(text) {
  if (text === undefined || text.trim() === '') return { origins: [], invalid: [] };
  const entries = text.split(',').map((entry) => entry.trim());
  return { origins: entries.filter(isOrigin), invalid: entries.filter((entry) => !isOrigin(entry)) };
}

// The origins of the status page; its Stop button's WebSocket comes from one of them.
function pageOrigins(port) {
  return [`http://127.0.0.1:${port}`, `http://localhost:${port}`];
}

// The door of a bridge listening on `port` with the listed browser origins.
function createAccessPolicy({ port, origins }) {
  const ownPage = new Set(pageOrigins(port));
  const listed = new Set(origins);
  const loopbackOnly = { status: 403, message: 'the Host header must name the loopback interface' };

  return {
    // A WebSocket request: null when it may go on to show the token.
    refuseUpgrade(headers) {
      if (!isLoopbackHost(headers.host)) return loopbackOnly;
      const origin = headers.origin;
      if (origin !== undefined && !listed.has(origin) && !ownPage.has(origin)) {
        return { status: 403, message: 'origin not allowed: list it in the bridge settings (origins) or KESTOVAR_BRIDGE_ORIGINS' };
      }
      return null;
    },
    // A plain request, for the status page: null when it may be answered.
    refusePage(headers) {
      if (!isLoopbackHost(headers.host)) return loopbackOnly;
      if (headers.origin !== undefined && !ownPage.has(headers.origin)) {
        return { status: 403, message: 'the status page answers only its own origin' };
      }
      return null;
    },
    // Only the status page may stop the bridge with its stop key (status.js).
    isOwnPage: (origin) => ownPage.has(origin),
  };
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

function hmac(secret, text) {
  return crypto.createHmac('sha256', secret).update(text, 'utf8').digest('hex');
}

// What a client shows instead of the token, for a first message of `type` ("hello",
// "identify", "shutdown"), and what the bridge answers with.
const messageProof = (secret, type, nonce) => hmac(secret, `kestovar-${type}:${nonce}`);
const readyProof = (secret, nonce) => hmac(secret, `kestovar-ready:${nonce}`);

// Remembers a nonce whose proof was right; false when it was accepted before.
function acceptNonce(nonce) {
  if (acceptedNonces.has(nonce)) return false;
  rememberNonce(nonce);
  nonceAccepted(nonce);
  return true;
}

function rememberNonce(nonce) {
  acceptedNonces.add(nonce);
  if (acceptedNonces.size > MAX_ACCEPTED_NONCES) acceptedNonces.delete(acceptedNonces.values().next().value);
}

// A bridge started again with the same token: the nonces accepted before it, and who to
// tell of the next ones.
function keepNonces(nonces, onAccepted) {
  for (const nonce of nonces) rememberNonce(nonce);
  nonceAccepted = onAccepted;
}

// Whether a first message holds `secret`: as the token itself, or as a nonce with its
// proof for this message's type, not seen before.
function holdsSecret(secret, message) {
  if (message.token !== undefined || message.nonce === undefined) return tokenMatches(secret, message.token);
  if (!NONCE_PATTERN.test(message.nonce) || typeof message.type !== 'string') return false;
  return tokenMatches(messageProof(secret, message.type, message.nonce), message.proof) && acceptNonce(message.nonce);
}

module.exports = {
  isLoopbackHost, isOrigin, parseOriginList, pageOrigins, createAccessPolicy, makeToken, tokenMatches,
  MAX_ACCEPTED_NONCES, messageProof, readyProof, holdsSecret, keepNonces,
};
