'use strict';
// Staged installations of the built launcher for the tests, run in the Windows node.exe
// under Wine. Each stage is a fresh temporary tree:
//   <dir>\Kestovar Output Bridge.exe, <dir>\app\src\server.js,
//   <dir>\runtime\kestovar-ndi-bridge.exe (the probe, see probe.cc).
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { sleep, waitFor } = require('../rig/wait.js');
const { readText, launcherLines } = require('../rig/logs.js');

const BUILD = path.resolve(process.env.KESTOVAR_BUILD_DIR);
const LAUNCHER = path.join(BUILD, 'launcher', 'Kestovar Output Bridge.exe');
const PROBE = path.join(BUILD, 'tests', 'launcher', 'kestovar-launcher-probe.exe');
const EXE_NAME = 'Kestovar Output Bridge.exe';
const NDI_LIBRARY = 'Processing.NDI.Lib.x64.dll';

const created = [];

function tempDir(label) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `kob-${label}-`));
  created.push(dir);
  return dir;
}

// Best effort: a probe still running may hold a file open.
process.on('exit', () => {
  for (const dir of created) {
    try {
      fs.rmSync(dir, { recursive: true, force: true, maxRetries: 2 });
    } catch {
      // left for the next clean of the build tree
    }
  }
});

// Builds an installation in root\name; parts can be left out or replaced by tests.
function stage({ root = tempDir('stage'), name = 'Kestovar Output Bridge' } = {}) {
  const dir = path.join(root, name);
  fs.mkdirSync(path.join(dir, 'app', 'src'), { recursive: true });
  fs.mkdirSync(path.join(dir, 'runtime'));
  fs.copyFileSync(LAUNCHER, path.join(dir, EXE_NAME));
  fs.writeFileSync(path.join(dir, 'app', 'src', 'server.js'), "'use strict';\n");
  fs.copyFileSync(PROBE, path.join(dir, 'runtime', 'kestovar-ndi-bridge.exe'));
  return {
    root,
    dir,
    exe: path.join(dir, EXE_NAME),
    runtime: path.join(dir, 'runtime', 'kestovar-ndi-bridge.exe'),
    script: path.join(dir, 'app', 'src', 'server.js'),
    app: path.join(dir, 'app'),
  };
}

// A directory holding a stand-in runtime library file (the launcher only checks that it
// exists as a file).
function ndiRuntimeDir(root = tempDir('ndi')) {
  fs.mkdirSync(root, { recursive: true });
  fs.writeFileSync(path.join(root, NDI_LIBRARY), '');
  return root;
}

// The exact environment block for a launch: what Windows programs need to start, plus
// the test's variables. A variable given as undefined is left out.
function launchEnv(vars = {}) {
  const env = {};
  for (const name of ['SystemRoot', 'windir', 'PATH', 'TEMP', 'TMP']) {
    const key = Object.keys(process.env).find((k) => k.toUpperCase() === name.toUpperCase());
    if (key) env[name] = process.env[key];
  }
  for (const [name, value] of Object.entries(vars)) {
    if (value === undefined) delete env[name];
    else env[name] = value;
  }
  return env;
}

// Starts the launcher and resolves with its full 32-bit exit code and process id. Under
// load, Wine's CreateProcess now and then fails before any process exists, with an error
// Node.js cannot name (UNKNOWN): such a start is tried again, twice at most.
function launch(exe, options = {}, tries = 3) {
  const { env = launchEnv(), args = [], cwd } = options;
  return new Promise((resolve, reject) => {
    // stdio ignored: the launcher writes nothing there (its child gets the log).
    const child = spawn(exe, args, { env, cwd, stdio: 'ignore', windowsHide: false });
    child.on('error', reject);
    child.on('exit', (code, signal) => resolve({ code, signal, pid: child.pid }));
  }).catch((e) => (e.code === 'UNKNOWN' && tries > 1 ? sleep(250).then(() => launch(exe, options, tries - 1)) : Promise.reject(e)));
}

// The probe's report as a map of its key=value lines (argv[i] kept separately).
function parseProbe(lines) {
  const report = { argv: [], lines: [] };
  for (const line of lines) {
    report.lines.push(line);
    const m = /^argv\[(\d+)\]=(.*)$/.exec(line);
    if (m) { report.argv[Number(m[1])] = m[2]; continue; }
    if (line === 'ndi_runtime_dir_absent') { report.ndi_runtime_dir = null; continue; }
    const begin = /^probe begin tag=(.*) pid=(\d+)$/.exec(line);
    if (begin) { report.tag = begin[1]; report.pid = Number(begin[2]); continue; }
    if (line.startsWith('stdin=') || line.startsWith('startup_flags=')) {
      for (const part of line.split(' ')) {
        const [k, v] = part.split('=');
        report[k] = v;
      }
      continue;
    }
    const eq = line.indexOf('=');
    if (eq > 0 && !line.startsWith('probe ')) report[line.slice(0, eq)] = line.slice(eq + 1);
  }
  return report;
}

function probeOptions({ tag = 'p', wait, lines, delayMs, done, report, exit, lock, pauseAt, resume, locked } = {}) {
  return {
    KESTOVAR_PROBE_TAG: tag,
    KESTOVAR_PROBE_WAIT: wait,
    KESTOVAR_PROBE_LINES: lines === undefined ? undefined : String(lines),
    KESTOVAR_PROBE_DELAY_MS: delayMs === undefined ? undefined : String(delayMs),
    KESTOVAR_PROBE_DONE: done,
    KESTOVAR_PROBE_REPORT: report,
    KESTOVAR_PROBE_EXIT: exit === undefined ? undefined : String(exit),
    KESTOVAR_PROBE_LOCK: lock,
    KESTOVAR_PROBE_PAUSE_AT: pauseAt === undefined ? undefined : String(pauseAt),
    KESTOVAR_PROBE_RESUME: resume,
    KESTOVAR_PROBE_LOCKED: locked ? '1' : undefined,
  };
}

// Waits for a probe that writes a report file (stdout may be NUL) and parses it.
async function probeReport(file) {
  const text = await waitFor(`probe report ${file}`, () => {
    const t = readText(file);
    return t && t.includes('probe end tag=') ? t : null;
  });
  return parseProbe(text.split('\r\n').filter((l) => l !== ''));
}

// The expected command line for a launcher directory (no quote in it).
function expectedCommandLine(dir) {
  return `"${dir}\\runtime\\kestovar-ndi-bridge.exe" "${dir}\\app\\src\\server.js"`;
}

function exists(p) {
  return fs.existsSync(p);
}

module.exports = {
  NDI_LIBRARY, tempDir, stage, ndiRuntimeDir, launchEnv, launch, sleep, waitFor, readText,
  launcherLines, parseProbe, probeOptions, probeReport, expectedCommandLine, exists,
};
