'use strict';
// The bridge's own small client, for the programs that ask a bridge something once: the
// stop tool, and a starting bridge that checks whether the one named in bridge.json
// (state-file.js) is really listening on its port. It sends one first message and
// collects the bridge's text messages until the bridge closes the connection.

const crypto = require('node:crypto');
const net = require('node:net');
const { messageProof, readyProof } = require('./access');
const { OPCODE, parseFrames } = require('./frame-parser');
const { encodeText } = require('./frame-writer');
const stateFile = require('./state-file');

// What the bridge sent after its handshake answer: { messages, closed } with its text
// messages and whether its close frame has come.
function readAnswer(bytes) {
  const at = bytes.indexOf('\r\n\r\n');
  if (at < 0 || !bytes.subarray(0, at).toString('latin1').startsWith('HTTP/1.1 101 ')) return { messages: [], closed: false };
  const { frames } = parseFrames(bytes.subarray(at + 4));
  const messages = [];
  for (const frame of frames.filter((f) => f.opcode === OPCODE.TEXT)) {
    try {
      messages.push(JSON.parse(frame.payload.toString('utf8')));
    } catch {
      // not the bridge's
    }
  }
  return { messages, closed: frames.some((f) => f.opcode === OPCODE.CLOSE) };
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
      socket.write(encodeText(JSON.stringify(message), { mask: true }));
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

// Who answers for the state file in dir: { state, answer } with identifyBridge's answer,
// or { state: null } when there is no usable file or its process has gone. A file left by
// a bridge that crashed may name a process id the system has since given to another
// program, and its port may be held by another program now.
async function bridgeStatus(dir) {
  const state = dir && stateFile.readState(dir);
  if (!state || state.pid === process.pid || !stateFile.processAlive(state.pid)) return { state: null };
  return { state, answer: await identifyBridge(state) };
}

// The state of the bridge that runs for dir, or null: only one that proves it holds the
// file's token runs.
async function runningBridge(dir) {
  const { state, answer } = await bridgeStatus(dir);
  return answer === 'bridge' ? state : null;
}

module.exports = { askBridge, firstMessage, identifyBridge, bridgeStatus, runningBridge };
