'use strict';
// The running bridge's state file, bridge.json: its port, process id, token and start
// time. Applications and the stop tool read it to find the bridge; it lies in the
// per-user product directory (the parent of the launcher's logs), which only its own
// user can read, so holding the token there proves a client is that user's.

const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { productFolder } = require('./product-folder');

const STATE_FILE_NAME = 'bridge.json';

// KESTOVAR_BRIDGE_STATE_DIR, else the product's folder under %LOCALAPPDATA%; null
// when neither is set.
function stateDirectory(env = process.env) {
  if (env.KESTOVAR_BRIDGE_STATE_DIR) return env.KESTOVAR_BRIDGE_STATE_DIR;
  if (!env.LOCALAPPDATA) return null;
  return productFolder(env.LOCALAPPDATA);
}

// The command that leaves a file to its owner (OWNER RIGHTS, S-1-3-4) and SYSTEM alone,
// with nothing inherited from its folder. icacls by its full path: a bare name would be
// looked for in the current directory first.
function ownerOnlyCommand(file, env = process.env) {
  const icacls = path.win32.join(env.SystemRoot || 'C:\\Windows', 'System32', 'icacls.exe');
  return [icacls, [file, '/inheritance:r', '/grant:r', '*S-1-3-4:F', '*S-1-5-18:F']];
}

// On Windows mode 0o600 means nothing, and KESTOVAR_BRIDGE_STATE_DIR may name a folder
// others can read: the file gets its own permissions, or an error is thrown.
function restrictToOwner(file) {
  if (process.platform !== 'win32') return;
  const [program, args] = ownerOnlyCommand(file);
  execFileSync(program, args, { stdio: 'ignore', windowsHide: true });
}

// Written whole or not at all: a reader never sees half a file. The token goes in only
// once the file is its owner's alone; when that fails, there is no file.
function writeState(dir, state, protect = restrictToOwner) {
  fs.mkdirSync(dir, { recursive: true });
  const file = path.join(dir, STATE_FILE_NAME);
  const temporary = `${file}.${state.pid}.tmp`;
  try {
    fs.rmSync(temporary, { force: true });
    fs.writeFileSync(temporary, '', { flag: 'wx', mode: 0o600 });
    protect(temporary);
    fs.writeFileSync(temporary, JSON.stringify(state) + '\n', { flag: 'r+' });
    fs.renameSync(temporary, file);
  } catch (error) {
    fs.rmSync(temporary, { force: true });
    throw error;
  }
}

// The state, or null when there is no usable file.
function readState(dir) {
  let state;
  try {
    state = JSON.parse(fs.readFileSync(path.join(dir, STATE_FILE_NAME), 'utf8'));
  } catch {
    return null;
  }
  const valid = state !== null && typeof state === 'object' &&
    Number.isInteger(state.port) && state.port > 0 && state.port < 65536 &&
    Number.isInteger(state.pid) && state.pid > 0 && typeof state.token === 'string';
  return valid ? state : null;
}

// Removes the file only while it is still this process's: a bridge that found another
// one running must never take that one's file away.
function removeOwnState(dir, pid = process.pid) {
  const state = readState(dir);
  if (!state || state.pid !== pid) return false;
  try {
    fs.unlinkSync(path.join(dir, STATE_FILE_NAME));
    return true;
  } catch {
    return false;
  }
}

function processAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

module.exports = {
  STATE_FILE_NAME, stateDirectory, writeState, ownerOnlyCommand, readState, removeOwnState, processAlive,
};
