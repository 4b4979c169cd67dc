'use strict';
// Stops the running bridges of this installation, for people and for the installer:
//   runtime\kestovar-ndi-bridge.exe app\src\stop.js [INSTALLATION FOLDER]
// Windows delivers no signal to a windowless process, so this asks the bridge itself: it
// reads the port and token from the state file, sends the stop request, and waits until
// the bridge's process has gone; that bridge must first prove that it holds the token, so
// the token never goes to another program that took its port. Bridges whose state file it cannot read (other users',
// when an administrator runs it, as setup does) are found by their executable, this
// installation's runtime, and ended: every one, or it says which it could not end.
// Exit 0: they stopped, or none was running (also when one ended itself because its NDI
// runtime did not return: exit code 20 and "runtime_stuck" in its log); exit 1: one could
// not be stopped (the reason is printed, on one line).

const path = require('node:path');
const { spawnSync } = require('node:child_process');
const stateFile = require('./state-file');
const { askBridge, bridgeStatus, firstMessage } = require('./bridge-client');

// The installation whose bridges to end: this one, or the folder given (setup runs this
// tool from its own copy of the new package, never from the folder it replaces).
const RUNTIME = path.join(process.argv[2] || path.join(__dirname, '..', '..'), 'runtime', 'kestovar-ndi-bridge.exe');
const FIND_PROCESSES = path.join(__dirname, '..', '..', 'runtime', 'kestovar-find-processes.exe');

const WAIT_MS = 15000;

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
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
  const { state, answer: who } = await bridgeStatus(dir);
  if (!state || who === 'no_answer') return { said: null };
  if (who === 'bad_token') return { error: `the bridge (pid ${state.pid}) refused the token in ${dir}` };
  if (who === 'not_a_bridge') return { error: `port ${state.port} is held by a program that is not the bridge named in ${dir}` };
  let answer;
  try {
    answer = await askBridge(state.port, firstMessage('shutdown', state.token), WAIT_MS);
  } catch (error) {
    return { error: `could not reach the bridge (pid ${state.pid}): ${error.message}` };
  }
  if (answer.some((message) => message.error === 'bad_token')) return { error: `the bridge (pid ${state.pid}) refused the token in ${dir}` };
  // Its monitor ends with it, and nothing starts again.
  const pids = Number.isInteger(state.monitor) ? [state.pid, state.monitor] : [state.pid];
  if ((await waitUntilGone(pids)).length > 0) return { error: `the bridge (pid ${pids.join(', ')}) is still running` };
  return { said: `the bridge (pid ${state.pid}) has stopped` };
}

// Ends the other bridges of this installation, monitors and their children alike: they
// cannot be asked without their token. The finder ends each by the handle it checked, and
// lists again until none is left; its lines are "ended PID" or "not_ended PID REASON".
function endOthers() {
  const finder = spawnSync(FIND_PROCESSES, ['--end', RUNTIME, '--except', String(process.pid)],
    { encoding: 'latin1', stdio: ['ignore', 'pipe', 'ignore'], windowsHide: true });
  if (finder.error) return { error: `could not run the process finder: ${finder.error.code || finder.error.message}` };
  const lines = finder.stdout.split(/\r?\n/).filter(Boolean);
  const pids = lines.map((line) => /^ended (\d+)$/.exec(line)).filter(Boolean).map((match) => match[1]);
  if (finder.status !== 0) {
    const failure = lines.map((line) => /^(not_ended|not_listed) (\d+) ?(.*)$/.exec(line)).find(Boolean);
    if (!failure) return { error: `the process finder failed (exit code ${finder.status})` };
    if (failure[1] === 'not_listed') return { error: `could not list the running bridges: error ${failure[2]}` };
    return { error: `could not end the bridge (pid ${failure[2]}) of another user: ${failure[3]}` };
  }
  if (pids.length === 0) return { said: null };
  // A bridge runs as two processes, its monitor and the bridge proper: both are named.
  return { said: `ended the bridge processes (pid ${pids.join(', ')}) of other users or state folders` };
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
