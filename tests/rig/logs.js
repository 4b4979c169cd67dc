'use strict';
// Reading what the system writes, for the tests and the benchmarks alike: the log the
// launcher and the bridge share, and the stand-in NDI runtime's event log (format:
// tests/standin/standin.cc). Runs in this machine's node and in the Windows node.exe.
const fs = require('node:fs');
const { waitFor } = require('./wait.js');

// A file's text, or null when there is no such file.
function readText(file, encoding = 'utf8') {
  try {
    return fs.readFileSync(file, encoding);
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw error;
  }
}

const LAUNCHER_RECORD = /^\[(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\] launcher pid=(\d+) ([a-z_]+)=(\d+)$/;

function assertCrLf(text) {
  if (/[^\r]\n|^\n/.test(text)) throw new Error('a line ends in LF without CR');
  if (text.length > 0 && !text.endsWith('\r\n')) throw new Error('log does not end in CR LF');
}

// The launcher's view of the log: every CR LF line, launcher records parsed
// ({ line, record: true, pid, key, value, time }), other lines kept as { line }.
function launcherLines(text) {
  assertCrLf(text);
  const lines = text.split('\r\n');
  if (lines[lines.length - 1] === '') lines.pop();
  return lines.map((line) => {
    const m = LAUNCHER_RECORD.exec(line);
    if (!m) return { line };
    return { line, record: true, pid: Number(m[7]), key: m[8], value: Number(m[9]), time: m.slice(1, 7).map(Number) };
  });
}

// The bridge's records: "[time] bridge pid=N event key=value ..." -> { pid, event, ... };
// other lines are passed over. No text (null) has none. A lone CR ends a line too: other
// writers of the log (the vendor's runtime prints a banner) may leave one before a record.
function bridgeRecords(text) {
  const records = [];
  for (const line of (text || '').split(/\r?\n|\r/)) {
    const m = /^\[[0-9T:-]{19}\] bridge pid=(\d+) ([a-z_]+)(.*)$/.exec(line);
    if (!m) continue;
    const record = { pid: Number(m[1]), event: m[2] };
    for (const f of m[3].matchAll(/ ([a-z_]+)=("(?:[^"\\]|\\.)*"|\S*)/g)) {
      record[f[1]] = f[2].startsWith('"') ? JSON.parse(f[2]) : f[2];
    }
    records.push(record);
  }
  return records;
}

// One stand-in event line, "event key=value ..." -> { event, ...fields }. Throws on
// anything else, so a torn or interleaved line fails the test that reads it.
function standinEvent(line) {
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

// finished: false for a log its runtimes may still be writing, whose last line may be
// under way and is not an event yet.
function standinEvents(file, { finished = true } = {}) {
  let text = readText(file, 'latin1');
  if (!text) return [];
  if (!text.endsWith('\n') && finished) throw new Error('stand-in log ends inside a line');
  text = text.slice(0, text.lastIndexOf('\n') + 1);
  return text.split('\n').filter((l) => l.length > 0).map(standinEvent);
}

// A stand-in log file (emptied first) and a cursor over it: next() returns the events
// appended since the last call.
function openStandinLog(file) {
  fs.rmSync(file, { force: true });
  let seen = 0;
  return {
    file,
    all: () => standinEvents(file, { finished: false }),
    next() {
      const events = standinEvents(file, { finished: false });
      const fresh = events.slice(seen);
      seen = events.length;
      return fresh;
    },
  };
}

// Waits until the stand-in has been handed exactly this frame; returns its event.
function waitForFrame(ndiLog, frame, timeoutMs = 30000) {
  const fnv = fnv1a64(frame);
  return waitFor('the frame at the NDI runtime', () =>
    ndiLog.all().find((e) => e.event === 'send_video' && e.fnv === fnv), timeoutMs);
}

// FNV-1a 64 over the bytes of any view, as the stand-in logs it: 16 hex digits (16-bit
// limbs keep it exact).
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

// Text as the stand-in logs it (hex of the UTF-8), and back; "null" is no text.
function toHex(text) {
  return Buffer.from(text, 'utf8').toString('hex');
}

function fromHex(hex) {
  return hex === 'null' ? null : Buffer.from(hex, 'hex').toString('utf8');
}

module.exports = {
  readText, launcherLines, bridgeRecords, standinEvent, standinEvents, openStandinLog, waitForFrame, fnv1a64, toHex, fromHex,
};
