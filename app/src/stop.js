'use strict';
// Stops the running bridge, for people and for the installer:
//   runtime\kestovar-ndi-bridge.exe app\src\stop.js
// Windows delivers no signal to a windowless process, so this asks the bridge itself: it
// reads the port and token from the state file, sends the stop request, and waits until
// the bridge's process has gone. The bridge must first prove that it holds the token, so
// the token never goes to another program that took its port. Exit 0: the bridge stopped,
// or none was running; exit 1: it could not be stopped (the reason is printed).

const stateFile = require('./state-file');
const { askBridge, credential } = require('./bridge-client');

const WAIT_MS = 15000;

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

async function main() {
  const dir = stateFile.stateDirectory();
  const { state, answer: who } = await stateFile.bridgeStatus(dir);
  if (!state || who === 'no_answer') {
    console.log('kestovar stop: no bridge is running');
    return 0;
  }
  if (who === 'bad_token') {
    console.log(`kestovar stop: the bridge (pid ${state.pid}) refused the token in ${dir}`);
    return 1;
  }
  if (who === 'not_a_bridge') {
    console.log(`kestovar stop: port ${state.port} is held by a program that is not the bridge named in ${dir}`);
    return 1;
  }
  let answer;
  try {
    answer = await askBridge(state.port, { type: 'shutdown', ...credential(state.token) }, WAIT_MS);
  } catch (error) {
    console.log(`kestovar stop: could not reach the bridge (pid ${state.pid}): ${error.message}`);
    return 1;
  }
  if (answer.some((message) => message.error === 'bad_token')) {
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
