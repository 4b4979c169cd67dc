'use strict';
// One line per event on standard output, which the launcher points at its own log file.
// The lines follow the launcher's records: local time, the writer, then key=value pairs,
// ended with CR LF like the rest of the file.

const fs = require('node:fs');

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
  const text = String(value);
  return /^[\x21-\x7e]*$/.test(text) && !text.includes('"') && text !== '' ? text : JSON.stringify(text);
}

// The last records, for the status page.
const RECENT_RECORDS = 12;
const recent = [];

function logEvent(event, fields = {}) {
  let line = `[${timestamp()}] bridge pid=${process.pid} ${event}`;
  for (const [key, value] of Object.entries(fields)) line += ` ${key}=${formatValue(value)}`;
  recent.push(line);
  if (recent.length > RECENT_RECORDS) recent.shift();
  // A synchronous write keeps the records in order with the launcher's and survives a
  // process that ends right after. Without a usable standard output the bridge still
  // serves; it just cannot tell anyone.
  try {
    fs.writeSync(1, line + '\r\n');
  } catch {
    // nothing else to report to
  }
}

function recentRecords() {
  return [...recent];
}

module.exports = { logEvent, timestamp, recentRecords };
