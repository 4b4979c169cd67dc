'use strict';
// The bridge's own small client, for the programs that ask a bridge something once: the
// stop tool, and a starting bridge that checks whether the one named in bridge.json is
// really listening on its port. It sends one first message and collects the bridge's text
// messages until the bridge closes the connection.

const crypto = require('node:crypto');
const net = require('node:net');
const { helloProof, readyProof } = require('./access');

// One masked client text frame (the payload is far below 64 KiB).
function maskedText(text) {
  const payload = Buffer.from(text, 'utf8');
  const mask = crypto.randomBytes(4);
  const header = payload.length < 126
    ? Buffer.from([0x81, 0x80 | payload.length])
    : Buffer.from([0x81, 0x80 | 126, payload.length >> 8, payload.length & 0xff]);
  for (let i = 0; i < payload.length; i++) payload[i] ^= mask[i & 3];
  return Buffer.concat([header, mask, payload]);
}

// The text messages in what the bridge sent after its handshake answer.
function textMessages(bytes) {
  const messages = [];
  let at = bytes.indexOf('\r\n\r\n');
  if (at < 0 || !bytes.subarray(0, at).toString('latin1').startsWith('HTTP/1.1 101 ')) return messages;
  at += 4;
  while (at + 2 <= bytes.length) {
    let length = bytes[at + 1] & 0x7f;
    let start = at + 2;
    if (length === 126) {
      if (start + 2 > bytes.length) break;
      length = bytes.readUInt16BE(start);
      start += 2;
    } else if (length === 127) {
      break; // the bridge's replies are never that long
    }
    if (start + length > bytes.length) break;
    if ((bytes[at] & 0x0f) === 1) {
      try {
        messages.push(JSON.parse(bytes.toString('utf8', start, start + length)));
      } catch {
        // not the bridge's
      }
    }
    at = start + length;
  }
  return messages;
}

// Opens a WebSocket to the bridge on `port`, sends `message` as the first message and
// resolves with the text messages it got before the connection closed.
function askBridge(port, message, timeoutMs) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const received = [];
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no answer from the bridge on port ${port}`));
    }, timeoutMs);
    socket.on('connect', () => {
      const key = crypto.randomBytes(16).toString('base64');
      socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\n` +
        `Connection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
      socket.write(maskedText(JSON.stringify(message)));
    });
    socket.on('data', (data) => received.push(data));
    socket.on('error', (error) => {
      clearTimeout(timer);
      reject(error);
    });
    socket.on('close', () => {
      clearTimeout(timer);
      resolve(textMessages(Buffer.concat(received)));
    });
  });
}

// What a first message carries to show the token without sending it: a nonce and its proof.
function credential(token) {
  const nonce = crypto.randomBytes(16).toString('hex');
  return { nonce, proof: helloProof(token, nonce) };
}

// Whether the bridge described by a state file ({ port, token, pid }) is the one that
// answers on its port: it must prove it holds the token, without being shown it.
async function confirmBridge(state, timeoutMs = 3000) {
  const shown = credential(state.token);
  let answers;
  try {
    answers = await askBridge(state.port, { type: 'identify', ...shown }, timeoutMs);
  } catch {
    return false;
  }
  const identity = answers.find((answer) => answer.type === 'identity');
  return Boolean(identity) && identity.pid === state.pid && identity.proof === readyProof(state.token, shown.nonce);
}

module.exports = { askBridge, credential, confirmBridge };
