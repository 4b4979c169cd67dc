'use strict';
// Stops the running bridges of this installation, for people and for the installer:
//   runtime\kestovar-ndi-bridge.exe app\src\stop.js
// Windows delivers no signal to a windowless process, so this asks the bridge itself: it
// reads the port and token from the state file, sends the stop request, and waits until
// the bridge's process has gone. Bridges whose state file it cannot read (other users',
// when an administrator runs it, as setup does) are found by their executable, this
// installation's runtime, and ended. Exit 0: they stopped, or none was running; exit 1:
// one could not be stopped (the reason is printed, on one line).

const crypto = require('node:crypto');
const net = require('node:net');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const stateFile = require('./state-file');

const RUNTIME_DIR = path.join(__dirname, '..', '..', 'runtime');
const RUNTIME = path.join(RUNTIME_DIR, 'kestovar-ndi-bridge.exe');
const FIND_PROCESSES = path.join(RUNTIME_DIR, 'kestovar-find-processes.exe');

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

// The ids of the processes running this installation's runtime, this one left out.
function installationProcesses() {
  const output = execFileSync(FIND_PROCESSES, [RUNTIME], { encoding: 'latin1', stdio: ['ignore', 'pipe', 'ignore'], windowsHide: true });
  return output.split(/\s+/).filter(Boolean).map(Number).filter((pid) => pid !== process.pid);
}

async function waitUntilGone(pids) {
  for (const until = Date.now() + WAIT_MS; Date.now() < until; await sleep(100)) {
    if (!pids.some(stateFile.processAlive)) return [];
  }
  return pids.filter(stateFile.processAlive);
}

// Asks the bridge of this user's state file to stop. Resolves with what happened, and
// an error to report when it would not.
async function stopByRequest(dir) {
  const state = await stateFile.runningBridge(dir);
  if (!state) return { said: null };
  let answer;
  try {
    answer = await sendStopRequest(state);
  } catch (error) {
    return { error: `could not reach the bridge (pid ${state.pid}): ${error.message}` };
  }
  if (answer.includes('"bad_token"')) return { error: `the bridge (pid ${state.pid}) refused the token in ${dir}` };
  if ((await waitUntilGone([state.pid])).length > 0) return { error: `the bridge (pid ${state.pid}) is still running` };
  return { said: `the bridge (pid ${state.pid}) has stopped` };
}

// Ends the other bridges of this installation: they cannot be asked without their token.
async function endOthers() {
  let pids;
  try {
    pids = installationProcesses();
  } catch (error) {
    return { error: `could not list the running bridges: ${error.code || error.message}` };
  }
  if (pids.length === 0) return { said: null };
  for (const pid of pids) {
    try {
      process.kill(pid);
    } catch (error) {
      if (error.code !== 'ESRCH') return { error: `could not end the bridge (pid ${pid}) of another user: ${error.code}` };
    }
  }
  const left = await waitUntilGone(pids);
  if (left.length > 0) return { error: `the bridge (pid ${left.join(', ')}) of another user is still running` };
  return { said: `ended ${pids.length === 1 ? 'the bridge' : `${pids.length} bridges`} (pid ${pids.join(', ')}) of other users or state folders` };
}

async function main() {
  const results = [await stopByRequest(stateFile.stateDirectory())];
  if (!results[0].error) results.push(await endOthers());
  const failed = results.find((result) => result.error);
  const said = results.map((result) => result.said).filter(Boolean);
  if (failed) {
    console.log(`kestovar stop: ${failed.error}`);
    return 1;
  }
  console.log(`kestovar stop: ${said.length ? said.join('; ') : 'no bridge is running'}`);
  return 0;
}

main().then((code) => process.exit(code));
