'use strict';
// Writes the machine settings file for setup:
//   runtime\kestovar-ndi-bridge.exe app\src\setup-settings.js FILE origins=A,B port=N
// Only the keys given a value change; every other key of the file stays as it is. A file
// that is not a JSON object, or a malformed value, changes nothing. Exit 0: written;
// exit 1: left as it was (the reason is printed).

const fs = require('node:fs');
const { isOrigin } = require('./access');

// The file's new text from its current text (null when there is none) and the values
// given ('' when not given); throws an Error that says why nothing may change.
function updatedSettings(current, { origins = '', port = '' }) {
  let settings = {};
  if (current !== null) {
    try {
      // Notepad may have saved it with a byte order mark.
      settings = JSON.parse(current.replace(/^\ufeff/, ''));
    } catch {
      settings = null;
    }
    if (settings === null || typeof settings !== 'object' || Array.isArray(settings)) {
      throw new Error('it is not a JSON object');
    }
  }
  if (origins) {
    const list = origins.split(',');
    const bad = list.find((origin) => !isOrigin(origin));
    if (bad !== undefined) throw new Error(`"${bad}" is not an origin such as https://app.example`);
    settings.origins = list;
  }
  if (port) {
    if (!/^[1-9]\d{0,4}$/.test(port) || Number(port) > 65535) throw new Error(`"${port}" is not a port from 1 to 65535`);
    settings.port = Number(port);
  }
  return JSON.stringify(settings, null, 2) + '\n';
}

function main([file, ...args]) {
  const given = Object.fromEntries(args.map((arg) => arg.split(/=(.*)/s, 2)));
  let current = null;
  try {
    current = fs.readFileSync(file, 'utf8');
  } catch (error) {
    if (error.code !== 'ENOENT') {
      console.log(`kestovar settings: ${file} could not be read (${error.code}); left as it was`);
      return 1;
    }
  }
  let text;
  try {
    text = updatedSettings(current, given);
  } catch (error) {
    console.log(`kestovar settings: ${file} left as it was: ${error.message}`);
    return 1;
  }
  // Written whole or not at all, like the bridge's state file.
  const temporary = `${file}.${process.pid}.tmp`;
  try {
    fs.writeFileSync(temporary, text);
    fs.renameSync(temporary, file);
  } catch (error) {
    fs.rmSync(temporary, { force: true });
    console.log(`kestovar settings: ${file} could not be written (${error.code}); left as it was`);
    return 1;
  }
  const keys = ['origins', 'port'].filter((key) => given[key]);
  console.log(`kestovar settings: ${keys.join(' and ')} written to ${file}`);
  return 0;
}

if (require.main === module) process.exitCode = main(process.argv.slice(2));

module.exports = { updatedSettings };
