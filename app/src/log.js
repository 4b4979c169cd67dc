'use strict';
// One line per event on standard output, which the launcher points at its own log file.
// The lines follow the launcher's records: local time, the writer, then key=value pairs,
// ended with CR LF like the rest of the file.
//
// The log must stay useful under a flood: records that strangers can cause come at most
// once per interval, with a count of those left out; no value runs longer than a few
// hundred characters; and when the standard output is the launcher's log, the bridge
// rotates it by size while it runs, by the launcher's own rule.

const fs = require('node:fs');
const path = require('node:path');
const { productFolder } = require('./product-folder');

const RECENT_RECORDS = 12;
const MAX_VALUE_CHARS = 500;
// What a client said (request fields, a close reason): only this much reaches the log.
const CLIENT_FIELD_CHARS = 100;
const LIMITED_INTERVAL_MS = 10000;
// A log strictly larger than this is moved to bridge.previous.log (the launcher's rule).
const ROTATION_BYTES = 4194304;
const PREVIOUS_LOG_NAME = 'bridge.previous.log';

function clip(text) {
  return text.length > CLIENT_FIELD_CHARS ? `${text.slice(0, CLIENT_FIELD_CHARS)}...` : text;
}

function pad(n, width = 2) {
  return String(n).padStart(width, '0');
}

function timestamp(now = new Date()) {
  return `${pad(now.getFullYear(), 4)}-${pad(now.getMonth() + 1)}-${pad(now.getDate())}` +
    `T${pad(now.getHours())}:${pad(now.getMinutes())}:${pad(now.getSeconds())}`;
}

// Values with spaces, quotes or control characters are written as JSON strings so that
// each record stays one parseable line whatever a client sent.
function formatValue(value) {
  let text = String(value);
  if (text.length > MAX_VALUE_CHARS) text = `${text.slice(0, MAX_VALUE_CHARS)}...`;
  return /^[\x21-\x7e]*$/.test(text) && !text.includes('"') && text !== '' ? text : JSON.stringify(text);
}

const recent = [];
let lastLine = null;
const limited = new Map();
// Where records go: standard output, and the file it is when the bridge rotates it (with
// its file id, to tell it from a newer file of the same name).
let output = { fd: 1, file: null, id: null, bytes: 0, rotationBytes: ROTATION_BYTES };

function write(line) {
  if (output.file) followFile();
  // A synchronous write keeps the records in order with the launcher's and survives a
  // process that ends right after. Without a usable standard output the bridge still
  // serves; it just cannot tell anyone.
  try {
    fs.writeSync(output.fd, line);
  } catch {
    return;
  }
  output.bytes += Buffer.byteLength(line);
  if (output.file && output.bytes > output.rotationBytes) rotate();
}

function fileId(file) {
  try {
    return fs.statSync(file).ino;
  } catch {
    return null;
  }
}

// Records go on in the file that now has the log's name, so none goes into a file that
// was moved aside under the bridge (by a later launcher start, or by the other process
// of the bridge) and that the next rotation would then overwrite.
function followFile() {
  if (fileId(output.file) !== output.id) switchTo(output.file);
}

// The launcher keeps a handle on the log too (with delete sharing), so the file is moved
// aside under it and the records go on in a new file of the same name.
function rotate() {
  const { file } = output;
  try {
    fs.renameSync(file, path.join(path.dirname(file), PREVIOUS_LOG_NAME));
  } catch {
    output.file = null; // rotation failed: keep appending where the records go now
    return;
  }
  switchTo(file);
}

function switchTo(file) {
  try {
    const fd = fs.openSync(file, 'a');
    const { ino, size } = fs.fstatSync(fd);
    if (output.fd !== 1) fs.closeSync(output.fd);
    output = { ...output, fd, id: ino, bytes: size };
  } catch {
    output.file = null;
  }
}

function logEvent(event, fields = {}) {
  let line = `[${timestamp()}] bridge pid=${process.pid} ${event}`;
  for (const [key, value] of Object.entries(fields)) line += ` ${key}=${formatValue(value)}`;
  recent.push(line);
  if (recent.length > RECENT_RECORDS) recent.shift();
  lastLine = line + '\r\n';
  write(lastLine);
}

// For records that anyone who reaches the port can cause: at most one per interval per
// event, the next one saying how many were left out.
function logLimited(event, fields = {}, now = Date.now()) {
  const last = limited.get(event);
  if (last && now - last.toldAt < LIMITED_INTERVAL_MS) {
    last.suppressed++;
    return;
  }
  logEvent(event, last && last.suppressed ? { ...fields, suppressed: last.suppressed } : fields);
  limited.set(event, { toldAt: now, suppressed: 0 });
}

// Sends the records to another open file: the bridge's current one, from the runtime
// watch thread (outputFd), or a test's.
function logTo(fd) {
  output = { fd, file: null, id: null, bytes: 0, rotationBytes: ROTATION_BYTES };
}

function outputFd() {
  return output.fd;
}

// Sends the records to the file of that name, followed by name as the bridge rotates it
// (the monitor, whose own standard output is the file as it was when it started).
function logToFile(file) {
  output = { ...output, file };
  switchTo(file);
}

// The log file the launcher gives its child, by its rule; null when there is none.
function launcherLogFile(env) {
  if (env.KESTOVAR_NDI_LOG_DIR) return path.join(env.KESTOVAR_NDI_LOG_DIR, 'bridge.log');
  if (!env.LOCALAPPDATA) return null;
  return path.join(productFolder(env.LOCALAPPDATA), 'logs', 'bridge.log');
}

// Rotates `file` while the bridge runs, when it is what standard output writes to: its
// last bytes are the last record written. (The launcher's handle on it may only append,
// so the standard output itself cannot be asked what file it is.)
function rotateWhenLarge(file, rotationBytes = ROTATION_BYTES) {
  if (lastLine === null) return false;
  let fd;
  try {
    fd = fs.openSync(file, 'r');
    const size = fs.fstatSync(fd).size;
    const tail = Buffer.alloc(Math.min(size, Buffer.byteLength(lastLine)));
    fs.readSync(fd, tail, 0, tail.length, size - tail.length);
    if (tail.toString('utf8') !== lastLine) return false;
    output = { fd: 1, file, id: fs.fstatSync(fd).ino, bytes: size, rotationBytes };
    return true;
  } catch {
    return false;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

function recentRecords() {
  return [...recent];
}

module.exports = { clip, logEvent, logLimited, logTo, logToFile, outputFd, timestamp, recentRecords, launcherLogFile, rotateWhenLarge };
