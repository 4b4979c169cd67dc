'use strict';
// What the addon tests share: fresh addon instances, stand-in copies and the stand-in's
// log for one test file (read with ../rig/logs.js).
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { standinEvents, openStandinLog, fnv1a64, toHex, fromHex } = require('../rig/logs.js');
const { BUILD_DIR, standinDir, workDir: rigWorkDir } = require('../rig/work.js');

const ADDON = path.join(BUILD_DIR, 'native', 'ndi', 'quorvex.node');
const RUNTIME_FILE = 'Processing.NDI.Lib.x64.dll';
// The addon's argument errors, word for word.
const START_USAGE = 'start(name, width, height, fpsN?, fpsD?, format?)';
const SEND_USAGE = 'sendFrame(buffer)';
const UNMASK_USAGE = 'unmaskFrame(buffer, mask)';
const MASK_LENGTH = 'mask must contain exactly 4 bytes';

// The stand-in's event log for one test file, <dir>/standin.log, as the only stand-in
// option besides `options`: any NDI_STANDIN_ variable inherited from outside is dropped.
function useStandinLog(dir, options = {}) {
  for (const name of Object.keys(process.env)) if (name.startsWith('NDI_STANDIN_')) delete process.env[name];
  const log = openStandinLog(path.join(dir, 'standin.log'));
  Object.assign(process.env, { NDI_STANDIN_LOG: log.file, ...options });
  return log;
}

// Forced collections (node --expose-gc), each in a new job: WeakRefs are only cleared after
// the job that created or read them.
async function collect() {
  for (let i = 0; i < 3; i++) {
    await new Promise(setImmediate);
    globalThis.gc();
  }
}

// A scratch directory of its own for one run of an addon test.
function workDir(name) {
  return rigWorkDir('addon', name);
}

// The addon's state lives for the module instance; a copy under another file name loads as
// a new instance with nothing loaded and no sender. Worker threads that require the same
// copy share that instance.
let copies = 0;
function freshAddonFile(dir) {
  const file = path.join(dir, `quorvex-${process.pid}-${++copies}.node`);
  fs.copyFileSync(ADDON, file);
  return file;
}

function loadFreshAddon(dir) {
  return require(freshAddonFile(dir));
}

// A private copy of a stand-in variant in <dir>/<sub>: a distinct module for the loader,
// so its load and unload events show which directory the addon loaded from.
function copyStandin(variant, dir) {
  fs.mkdirSync(dir, { recursive: true });
  fs.copyFileSync(path.join(standinDir(variant), RUNTIME_FILE), path.join(dir, RUNTIME_FILE));
  return dir;
}

// Runs a script in a child node.exe; output goes through a file (a pipe may give EBADF).
function runChild(script, env, outFile) {
  const fd = fs.openSync(outFile, 'w');
  let result;
  try {
    result = spawnSync(process.execPath, ['-e', script], {
      env, stdio: ['ignore', fd, fd], timeout: 60000,
    });
  } finally {
    fs.closeSync(fd);
  }
  return { status: result.status, error: result.error, output: fs.readFileSync(outFile, 'utf8') };
}

module.exports = {
  BUILD_DIR, ADDON, RUNTIME_FILE, START_USAGE, SEND_USAGE, UNMASK_USAGE, MASK_LENGTH, standinDir, standinEvents, openStandinLog, useStandinLog, collect,
  fromHex, toHex,
  fnv1a64, workDir, freshAddonFile, loadFreshAddon, copyStandin, runChild,
};
