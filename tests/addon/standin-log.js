'use strict';
// Reads the stand-in NDI runtime's event log (format: tests/standin/standin.cc) and gives
// the addon tests what they share: fresh addon instances, stand-in copies, checksums.
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const BUILD_DIR = path.resolve(process.env.KESTOVAR_BUILD_DIR || path.join(__dirname, '../../build'));
const ADDON = path.join(BUILD_DIR, 'native', 'ndi', 'quorvex.node');
const RUNTIME_FILE = 'Processing.NDI.Lib.x64.dll';

function standinDir(variant) {
  return path.join(BUILD_DIR, 'standin', variant);
}

// "event key=value ..." -> { event, fields }. Throws on anything else, so a torn or
// interleaved line fails the test that reads it.
function parseLine(line) {
  const tokens = line.split(' ');
  const event = tokens.shift();
  if (!/^[a-z_]+$/.test(event)) throw new Error(`bad stand-in log line: ${JSON.stringify(line)}`);
  const fields = {};
  for (const token of tokens) {
    const eq = token.indexOf('=');
    if (eq <= 0) throw new Error(`bad stand-in log field ${JSON.stringify(token)} in ${JSON.stringify(line)}`);
    fields[token.slice(0, eq)] = token.slice(eq + 1);
  }
  if (!('pid' in fields) || !('variant' in fields)) {
    throw new Error(`stand-in log line without pid/variant: ${JSON.stringify(line)}`);
  }
  return { event, ...fields };
}

function readLog(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'latin1');
  } catch (e) {
    if (e.code === 'ENOENT') return [];
    throw e;
  }
  if (text.length > 0 && !text.endsWith('\n')) throw new Error('stand-in log ends inside a line');
  return text.split('\n').filter((l) => l.length > 0).map(parseLine);
}

// A log file and a cursor over it: next() returns the events appended since the last call.
function openLog(file) {
  fs.rmSync(file, { force: true });
  let seen = 0;
  return {
    file,
    all: () => readLog(file),
    next() {
      const events = readLog(file);
      const fresh = events.slice(seen);
      seen = events.length;
      return fresh;
    },
  };
}

// The stand-in's event log for one test file, <dir>/standin.log, as the only stand-in
// option besides `options`: any NDI_STANDIN_ variable inherited from outside is dropped.
function useStandinLog(dir, options = {}) {
  for (const name of Object.keys(process.env)) if (name.startsWith('NDI_STANDIN_')) delete process.env[name];
  const log = openLog(path.join(dir, 'standin.log'));
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

function fromHex(hex) {
  return hex === 'null' ? null : Buffer.from(hex, 'hex').toString('utf8');
}

function toHex(text) {
  return Buffer.from(text, 'utf8').toString('hex');
}

// FNV-1a 64 over the bytes of any view, as 16 hex digits (16-bit limbs keep it exact).
function fnv1a64(view) {
  const bytes = new Uint8Array(view.buffer, view.byteOffset, view.byteLength);
  let h0 = 0x2325, h1 = 0x8422, h2 = 0x9ce4, h3 = 0xcbf2;
  for (let i = 0; i < bytes.length; i++) {
    h0 ^= bytes[i];
    // hash * (2^40 + 0x1b3) mod 2^64
    const a0 = h0 * 0x1b3;
    const a1 = h1 * 0x1b3 + Math.floor(a0 / 65536);
    const a2 = h2 * 0x1b3 + ((h0 & 0xff) << 8) + Math.floor(a1 / 65536);
    const a3 = h3 * 0x1b3 + (h0 >> 8) + ((h1 & 0xff) << 8) + Math.floor(a2 / 65536);
    h0 = a0 & 0xffff; h1 = a1 & 0xffff; h2 = a2 & 0xffff; h3 = a3 & 0xffff;
  }
  return [h3, h2, h1, h0].map((x) => x.toString(16).padStart(4, '0')).join('');
}

// A scratch directory of its own for one test file, emptied first.
// Earlier runs' directories are cleared first; a loaded module copy cannot be deleted, so
// each run has a directory of its own.
function workDir(name) {
  const root = path.join(BUILD_DIR, 'tests', 'addon', 'work');
  fs.mkdirSync(root, { recursive: true });
  for (const old of fs.readdirSync(root).filter((n) => n.startsWith(`${name}-`))) {
    try {
      fs.rmSync(path.join(root, old), { recursive: true, force: true });
    } catch {
      // still in use by a running test
    }
  }
  const dir = fs.mkdtempSync(path.join(root, `${name}-`));
  return dir;
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
  BUILD_DIR, ADDON, RUNTIME_FILE, standinDir, parseLine, readLog, openLog, useStandinLog, collect,
  fromHex, toHex,
  fnv1a64, workDir, freshAddonFile, loadFreshAddon, copyStandin, runChild,
};
