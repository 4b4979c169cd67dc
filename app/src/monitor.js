'use strict';
// The monitor: the process the launcher starts (server.js) runs the bridge in a child
// process of the same runtime executable (bridge-process.js) and starts it again when it
// ends unexpectedly, so that a crash, a hang or a kill does not end the output for good.
// No frame passes through it: applications talk to the child, which shares its standard
// handles (the launcher's log).
//
// Unexpected is any end that no stop request asked for: a crash (an NTSTATUS such as
// 0xc0000005 as exit code), a kill, or runtime_stuck (exit 20) outside a stop. A stop
// request (the stop tool, the status page's Stop, a client's shutdown, a signal to either
// process) reaches the child, which tells the monitor before it asks the runtime to let
// go; then the monitor ends with the child's exit code and nothing starts again. A start
// the bridge refuses before it serves (already running, a bad setting, a taken port) is
// not retried either: it would be refused again.
//
// The same door: the monitor makes the token and the status page's stop key once and
// hands them, with the port the first child listened on, to every child over the IPC
// channel (never on a command line), so an application that reconnects finds the same
// port and token in the state file, which the child rewrites as it starts.
//
// A crash loop ends: after MAX_ENDS unexpected ends within WINDOW_MS the monitor logs
// gave_up, removes the state file and exits with EXIT.GAVE_UP.

const fs = require('node:fs');
const path = require('node:path');
const log = require('./log');
const EXIT = require('./exit-codes');
const { MAX_ACCEPTED_NONCES, makeToken } = require('./access');
const stateFile = require('./state-file');

const BRIDGE_SCRIPT = path.join(__dirname, 'bridge-process.js');
const MAX_ENDS = 5;
const WINDOW_MS = 60000;
// The wait before the next start, after the 1st, 2nd, 3rd and 4th unexpected end within
// the window: the first comes back at once, a loop slows down.
const RESTART_WAITS_MS = [0, 500, 1000, 2000];
// What the bridge exits with when it refuses to start; a new start would meet the same.
const START_REFUSALS = new Set([EXIT.STOPPED, EXIT.LISTEN_FAILED, EXIT.BAD_SETTING, EXIT.PORT_IN_USE]);

// An exit code as Windows tools show it: 0xc0000005 for an access violation, 0x14 for 20.
function exitCodeText(code, signal = null) {
  return code === null ? String(signal) : `0x${(code >>> 0).toString(16)}`;
}

// Whether an end asks for a new start. served: the child had listened and written the
// state file; stopRequested: a stop request reached it (or the monitor) first.
function isUnexpected({ code, served, stopRequested }) {
  if (stopRequested) return false;
  return served || !START_REFUSALS.has(code);
}

// After an unexpected end at `now`, with the times of the unexpected ends so far (this
// one included): give up, or start again after delayMs. attempt counts the ends within
// the window.
function nextStart(endTimes, now) {
  const attempt = endTimes.filter((at) => now - at < WINDOW_MS).length;
  if (attempt >= MAX_ENDS) return { giveUp: true, attempt };
  return { giveUp: false, attempt, delayMs: RESTART_WAITS_MS[Math.min(attempt, RESTART_WAITS_MS.length) - 1] };
}

// Runs the bridge until it stops on request, refuses to start, or ends too often.
function runMonitor(env = process.env) {
  const { fork } = require('node:child_process');
  const door = { token: makeToken(), stopKey: makeToken(), port: null, pid: process.pid };
  const stateDir = stateFile.stateDirectory(env);
  const ends = [];
  let restarts = { count: 0, last: null };
  // The nonces the bridges accepted with this token: a proof seen before a crash is not
  // good again after it.
  const nonces = [];
  let child = null;
  // The last bridge's process id: the state file names it until the next one starts.
  let lastPid = null;
  let stopSignal = null;
  let waiting = null;
  // The launcher's log, once the first bridge has found that its output is that file. The
  // bridge moves it aside when it grows (log.js), so the monitor's records follow the file
  // by name, and each new bridge gets a fresh handle on it.
  let launcherLog = null;

  function start() {
    const output = launcherLog ? fs.openSync(launcherLog, 'a') : 'inherit';
    const proc = fork(BRIDGE_SCRIPT, [], {
      execPath: process.execPath, execArgv: [], stdio: ['ignore', output, output, 'ipc'], windowsHide: true,
    });
    if (output !== 'inherit') fs.closeSync(output);
    const current = { proc, startedAt: Date.now(), served: false, stopRequested: false };
    child = current;
    lastPid = proc.pid;
    proc.on('message', (message) => {
      if (message.type === 'serving') {
        current.served = true;
        door.port = message.port;
        if (!launcherLog && message.launcherLog) {
          launcherLog = message.launcherLog;
          log.logToFile(launcherLog);
        }
      } else if (message.type === 'stopping') {
        current.stopRequested = true;
      } else if (message.type === 'nonce') {
        if (nonces.push(message.nonce) > MAX_ACCEPTED_NONCES) nonces.shift();
      }
    });
    // 'close' comes once the IPC channel has been read to its end: a "stopping" sent just
    // before the process died has been heard.
    proc.on('close', (code, signal) => ended(current, code, signal));
    proc.on('error', (error) => {
      if (proc.pid !== undefined) return; // a failed send to a process that has gone
      log.logEvent('bridge_start_failed', { error: error.code || error.message });
      process.exit(EXIT.LISTEN_FAILED);
    });
    proc.send({ type: 'start', door, restarts, nonces });
    if (stopSignal) proc.send({ type: 'stop', signal: stopSignal });
  }

  // Nothing starts again: the state file goes unless another bridge's is there now.
  function finish(code, pid) {
    if (stateDir && pid) stateFile.removeOwnState(stateDir, pid);
    process.exit(code);
  }

  function ended(current, code, signal) {
    child = null;
    const now = Date.now();
    const stopRequested = stopSignal !== null || current.stopRequested;
    if (!isUnexpected({ code, served: current.served, stopRequested })) return finish(code ?? EXIT.LISTEN_FAILED, lastPid);
    const reason = exitCodeText(code, signal);
    const ranMs = now - current.startedAt;
    ends.push({ at: now, reason });
    if (ends.length > MAX_ENDS) ends.shift();
    const next = nextStart(ends.map((end) => end.at), now);
    if (next.giveUp) {
      log.logEvent('gave_up', { ends: ends.map((end) => end.reason).join(','), within_s: WINDOW_MS / 1000, exit_code: EXIT.GAVE_UP,
        detail: 'the bridge ended unexpectedly too often; start Kestovar Output Bridge again once the cause is fixed' });
      return finish(EXIT.GAVE_UP, lastPid);
    }
    restarts = { count: restarts.count + 1, last: { exitCode: reason, ranMs, at: new Date(now).toISOString() } };
    waiting = setTimeout(() => {
      waiting = null;
      log.logEvent('bridge_restarted', { previous_pid: current.proc.pid, exit_code: reason, ran_ms: ranMs, attempt: next.attempt, waited_ms: next.delayMs });
      start();
    }, next.delayMs);
  }

  // Ctrl+C, a closing console, the end of the Windows session: the bridge stops in order.
  function stop(signal) {
    if (stopSignal) return;
    stopSignal = signal;
    if (child) {
      child.proc.send({ type: 'stop', signal });
    } else {
      clearTimeout(waiting);
      finish(EXIT.STOPPED, lastPid);
    }
  }

  for (const signal of ['SIGINT', 'SIGTERM', 'SIGBREAK', 'SIGHUP']) process.on(signal, () => stop(signal));
  start();
}

module.exports = { MAX_ENDS, WINDOW_MS, exitCodeText, isUnexpected, nextStart, runMonitor };
