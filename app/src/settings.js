'use strict';
// What the bridge is told at start. Three places, the later overriding the earlier key by
// key: the machine settings file (written by the installer), the user's settings file
// (beside bridge.json), and the environment of whoever started the bridge.
//
// settings.json: {"origins": ["https://app.example", ...], "port": 17480}, both keys
// optional. A file that cannot be used (not JSON, an unknown key, an entry that is not an
// origin) is left out whole, with a record and a line on the status page: a file is edited
// by hand and persists, so a typo in it must not leave the user without a bridge, and
// leaving it out keeps the door as closed as it was. An environment value is set for one
// run by whoever starts it: a bad one refuses the start.
//
// Environment:
//   KESTOVAR_BRIDGE_PORT              default 17480; 0 picks a free port, which the
//                                     "listening" record and the state file name
//   KESTOVAR_BRIDGE_ORIGINS           browser origins allowed in, separated by commas
//   KESTOVAR_BRIDGE_STATE_DIR         where bridge.json and the user's settings.json lie
//                                     (default: the per-user product directory under
//                                     LOCALAPPDATA); ProgramData names the machine's
//   KESTOVAR_BRIDGE_HEAD_TIMEOUT_MS   default 2000: from opening to the whole request head
//   KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS  default 10000: from opening to the first message
//   KESTOVAR_BRIDGE_PING_INTERVAL_MS  default 10000, and
//   KESTOVAR_BRIDGE_PING_TIMEOUT_MS   default 30000: an application silent that long is
//                                     let go
//   KESTOVAR_BRIDGE_RUNTIME_CALL_MS   default 4000, at most 8000: how long the NDI runtime
//                                     may take to start or stop a sender before the bridge
//                                     ends itself (runtime-watchdog.js); at most 8 s, so that
//                                     a bridge asked to stop is gone within 10 s whatever the
//                                     runtime does (ending the process takes Wine up to 2 s)
//   KESTOVAR_BRIDGE_PLAIN_READS       1: read connections the plain way (for tests)
//   KESTOVAR_BRIDGE_TEST_GC           1: a full garbage collection before every stats
//                                     answer, so that long runs read settled memory

const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { isOrigin, parseOriginList } = require('./access');
const { productFolder } = require('./product-folder');
const { stateDirectory } = require('./state-file');

const DEFAULT_PORT = 17480;
const SETTINGS_FILE_NAME = 'settings.json';
const MAX_SETTINGS_BYTES = 64 * 1024;

function machineSettingsFile(env) {
  const programData = env.ProgramData || env.PROGRAMDATA;
  return programData ? path.join(productFolder(programData), SETTINGS_FILE_NAME) : null;
}

// A settings file's keys, or { error }; null when there is no file. Whatever the file
// holds (it may be anyone's, and hostile), the answer is one of those, never a throw.
function readSettingsFile(file) {
  let text;
  try {
    if (fs.statSync(file).size > MAX_SETTINGS_BYTES) return { error: `larger than ${MAX_SETTINGS_BYTES} bytes` };
    text = fs.readFileSync(file, 'utf8');
  } catch (error) {
    return error.code === 'ENOENT' ? null : { error: `cannot be read (${error.code || error.message})` };
  }
  try {
    return checkSettings(JSON.parse(text.replace(/^\uFEFF/, '')));
  } catch (error) {
    return { error: error instanceof SyntaxError ? 'not valid JSON' : `cannot be used (${error.message})` };
  }
}

// A value as a reason names it: strings and numbers as JSON (clipped by the log), anything
// else by its kind, since it may nest deeper than a stack.
function describeValue(value) {
  if (Array.isArray(value)) return 'an array';
  return value !== null && typeof value === 'object' ? 'an object' : JSON.stringify(value);
}

function checkSettings(settings) {
  if (settings === null || typeof settings !== 'object' || Array.isArray(settings)) return { error: 'not a JSON object' };
  for (const key of Object.keys(settings)) {
    if (key !== 'origins' && key !== 'port') return { error: `unknown key ${describeValue(key)} (known: "origins", "port")` };
  }
  const { origins, port } = settings;
  if (origins !== undefined) {
    if (!Array.isArray(origins)) return { error: '"origins" must be an array of origins' };
    const bad = origins.find((origin) => !isOrigin(origin));
    if (bad !== undefined) {
      return { error: `${describeValue(bad)} in "origins" is not an origin such as "https://app.example" or "http://127.0.0.1:5173"` };
    }
  }
  if (port !== undefined && !(Number.isInteger(port) && port >= 1 && port <= 65535)) {
    return { error: '"port" must be a whole number from 1 to 65535' };
  }
  return { origins, port };
}

// The machine file, left out unless only administrators may change its folders: every
// user's bridge would follow it. Judged by the installer's own tool beside the runtime;
// elsewhere than on Windows there are no such folders.
const FOLDER_TRUST = path.join(__dirname, '..', '..', 'runtime', 'kestovar-folder-trust.exe');
function readMachineSettingsFile(file) {
  const read = readSettingsFile(file);
  if (!read || read.error || process.platform !== 'win32') return read;
  const folder = path.dirname(file);
  const judged = spawnSync(FOLDER_TRUST, ['check', folder, path.dirname(path.dirname(folder))], { windowsHide: true });
  if (judged.status === 0) return read;
  const said = judged.stdout ? judged.stdout.toString('utf16le').trim() : '';
  return { error: judged.status === 1 ? `its folder may be changed by users who are not administrators (${said})`
    : `its folder could not be checked (${said || (judged.error && judged.error.code) || `exit ${judged.status}`})` };
}

// A bad environment value: the start is refused.
class SettingsError extends Error {
  constructor(name, value, allowed) {
    super(`${name}=${JSON.stringify(value)} is not allowed: ${allowed}`);
    this.fields = { name, value, allowed };
  }
}

// An environment value, or undefined when it is not set. Set to the empty string counts as
// not set: Windows' own shells never make one, and an empty value must not silently
// override both settings files.
function envValue(env, name) {
  return env[name] === '' ? undefined : env[name];
}

function integerFrom(env, name, fallback, low, high) {
  const text = envValue(env, name);
  if (text === undefined) return fallback;
  const value = Number(text);
  if (!Number.isInteger(value) || value < low || value > high) throw new SettingsError(name, text, `${low}..${high}`);
  return value;
}

// Everything the bridge needs to know at start: { port, origins: [{ origin, from }],
// problems: [{ file, reason }], stateDir, limits, plainReads, testGc }. Throws
// SettingsError for a bad environment value.
function readSettings(env) {
  const stateDir = stateDirectory(env);
  const layers = [];
  const problems = [];
  for (const [file, from, readFile] of [[machineSettingsFile(env), 'machine settings', readMachineSettingsFile],
    [stateDir && path.join(stateDir, SETTINGS_FILE_NAME), 'user settings', readSettingsFile]]) {
    const read = file && readFile(file);
    if (read && read.error) problems.push({ file, reason: read.error });
    else if (read) layers.push({ ...read, from: `${from} ${file}` });
  }
  const originList = envValue(env, 'KESTOVAR_BRIDGE_ORIGINS');
  if (originList !== undefined) {
    const { origins, invalid } = parseOriginList(originList);
    if (invalid.length > 0) {
      throw new SettingsError('KESTOVAR_BRIDGE_ORIGINS', originList,
        `${invalid.map((entry) => JSON.stringify(entry)).join(', ')} is not an origin such as "https://app.example"`);
    }
    layers.push({ origins, from: 'KESTOVAR_BRIDGE_ORIGINS' });
  }
  const port = integerFrom(env, 'KESTOVAR_BRIDGE_PORT', undefined, 0, 65535);
  if (port !== undefined) layers.push({ port, from: 'KESTOVAR_BRIDGE_PORT' });
  const last = (key) => layers.filter((layer) => layer[key] !== undefined).pop();
  const originLayer = last('origins');
  return {
    port: last('port') ? last('port').port : DEFAULT_PORT,
    origins: originLayer ? [...new Set(originLayer.origins)].map((origin) => ({ origin, from: originLayer.from })) : [],
    problems,
    stateDir,
    limits: {
      headTimeoutMs: integerFrom(env, 'KESTOVAR_BRIDGE_HEAD_TIMEOUT_MS', 2000, 100, 3600000),
      helloTimeoutMs: integerFrom(env, 'KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS', 10000, 100, 3600000),
      pingIntervalMs: integerFrom(env, 'KESTOVAR_BRIDGE_PING_INTERVAL_MS', 10000, 50, 3600000),
      pingTimeoutMs: integerFrom(env, 'KESTOVAR_BRIDGE_PING_TIMEOUT_MS', 30000, 100, 3600000),
      runtimeCallMs: integerFrom(env, 'KESTOVAR_BRIDGE_RUNTIME_CALL_MS', 4000, 100, 8000),
    },
    plainReads: env.KESTOVAR_BRIDGE_PLAIN_READS === '1',
    testGc: env.KESTOVAR_BRIDGE_TEST_GC === '1',
  };
}

module.exports = { DEFAULT_PORT, SettingsError, machineSettingsFile, readSettingsFile, readSettings };
