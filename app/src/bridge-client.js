'use strict';
// The bridge's own small client, for the programs that ask a bridge something once: the
// stop tool, and a starting bridge that checks whether the one named in bridge.json is
// really listening on its port. It sends one first message and collects the bridge's text
// messages until the bridge closes the connection.

const crypto = require('node:crypto');
const net = require('node:net');
const { messageProof, readyProof } = require('./access');

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

// What the bridge sent after its handshake answer: { messages, closed } with its text
// messages and whether its close frame has come.
function readAnswer(bytes) {
  const messages = [];
  let closed = false;
  let at = bytes.indexOf('\r\n\r\n');
  if (at < 0 || !bytes.subarray(0, at).toString('latin1').startsWith('HTTP/1.1 101 ')) return { messages, closed };
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
    closed ||= (bytes[at] & 0x0f) === 8;
    if ((bytes[at] & 0x0f) === 1) {
      try {
        messages.push(JSON.parse(bytes.toString('utf8', start, start + length)));
      } catch {
        // not the bridge's
      }
    }
    at = start + length;
  }
  return { messages, closed };
}

// Opens a WebSocket to the bridge on `port`, sends `message` as the first message and
// resolves with the text messages it got until its close frame, or until the connection
// ended.
function askBridge(port, message, timeoutMs) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const received = [];
    const finish = () => {
      clearTimeout(timer);
      socket.destroy();
      resolve(readAnswer(Buffer.concat(received)).messages);
    };
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
    socket.on('data', (data) => {
      received.push(data);
      if (readAnswer(Buffer.concat(received)).closed) finish();
    });
    // A connection reset after the bridge's answer still leaves its answer.
    socket.on('error', (error) => {
      if (received.length > 0) return finish();
      clearTimeout(timer);
      reject(error);
    });
    socket.on('close', finish);
  });
}

// A first message of `type` that shows the token without sending it: a fresh nonce and
// its proof, good for this one message.
function firstMessage(type, token) {
  const nonce = crypto.randomBytes(16).toString('hex');
  return { type, nonce, proof: messageProof(token, type, nonce) };
}

// Who answers on the port of a state file ({ port, token, pid }): "bridge" when the
// bridge named there proves it holds the token (without being shown it), "bad_token" when
// a bridge answers but holds another token, "not_a_bridge" when something else answers,
// "no_answer" when nothing does.
async function identifyBridge(state, timeoutMs = 3000) {
  const shown = firstMessage('identify', state.token);
  let answers;
  try {
    answers = await askBridge(state.port, shown, timeoutMs);
  } catch (error) {
    return error.code === 'ECONNREFUSED' ? 'no_answer' : 'not_a_bridge';
  }
  if (answers.some((answer) => answer.type === 'error' && answer.error === 'bad_token')) return 'bad_token';
  const identity = answers.find((answer) => answer.type === 'identity');
  const proven = Boolean(identity) && identity.pid === state.pid && identity.proof === readyProof(state.token, shown.nonce);
  return proven ? 'bridge' : 'not_a_bridge';
}

module.exports = { askBridge, firstMessage, identifyBridge };
