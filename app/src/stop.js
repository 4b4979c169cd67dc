'use strict';
// Stops the running bridge, for people and for the installer:
//   runtime\kestovar-ndi-bridge.exe app\src\stop.js
// Windows delivers no signal to a windowless process, so this asks the bridge itself: it
// reads the port and token from the state file, sends the stop request, and waits until
// the bridge's process has gone. Exit 0: the bridge stopped, or none was running (also
// when it ended itself because its NDI runtime did not return, exit code 20 and
// "runtime_stuck" in its log); exit 1: it could not be stopped (the reason is printed).

const crypto = require('node:crypto');
const net = require('node:net');
const stateFile = require('./state-file');

const WAIT_MS = 15000;

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

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

// Opens a WebSocket, sends the stop request, and resolves with what the bridge said
// before it closed the connection.
function sendStopRequest(state) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: '127.0.0.1', port: state.port });
    let received = Buffer.alloc(0);
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no answer from the bridge on port ${state.port}`));
    }, WAIT_MS);
    socket.on('connect', () => {
      const key = crypto.randomBytes(16).toString('base64');
      socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${state.port}\r\nUpgrade: websocket\r\n` +
        `Connection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
      socket.write(maskedText(JSON.stringify({ type: 'shutdown', token: state.token })));
    });
    socket.on('data', (data) => {
      received = Buffer.concat([received, data]);
    });
    socket.on('error', (error) => {
      clearTimeout(timer);
      reject(error);
    });
    socket.on('close', () => {
      clearTimeout(timer);
      resolve(received.toString('latin1'));
    });
  });
}

async function main() {
  const dir = stateFile.stateDirectory();
  const state = await stateFile.runningBridge(dir);
  if (!state) {
    console.log('kestovar stop: no bridge is running');
    return 0;
  }
  let answer;
  try {
    answer = await sendStopRequest(state);
  } catch (error) {
    console.log(`kestovar stop: could not reach the bridge (pid ${state.pid}): ${error.message}`);
    return 1;
  }
  if (answer.includes('"bad_token"')) {
    console.log(`kestovar stop: the bridge (pid ${state.pid}) refused the token in ${dir}`);
    return 1;
  }
  for (const until = Date.now() + WAIT_MS; Date.now() < until; await sleep(100)) {
    if (!stateFile.processAlive(state.pid)) {
      console.log(`kestovar stop: the bridge (pid ${state.pid}) has stopped`);
      return 0;
    }
  }
  console.log(`kestovar stop: the bridge (pid ${state.pid}) is still running`);
  return 1;
}

main().then((code) => process.exit(code));
