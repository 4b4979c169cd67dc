'use strict';
// Writes the machine settings file for setup:
//   runtime\kestovar-ndi-bridge.exe app\src\setup-settings.js FILE origins=A,B port=N [untrusted=1]
// Only the keys given a value change; every other key of the file stays as it is. A file
// that is not a JSON object, or a malformed value, changes nothing. untrusted=1 (setup has
// just taken the folder over from someone else): the file found there is moved aside,
// never read, and the new one holds only the keys given. The file and its two folders are
// never followed through a link. Exit 0: written; exit 1: left as it was (the reason is
// printed).

const fs = require('node:fs');
const path = require('node:path');
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

// The first of the file's two folders (and the file, when it is to be read) that is a link
// or junction, or null.
function linkOnPath(file, withFile) {
  const folders = [path.dirname(path.dirname(file)), path.dirname(file)];
  for (const place of withFile ? [...folders, file] : folders) {
    try {
      if (fs.lstatSync(place).isSymbolicLink()) return place;
    } catch (error) {
      if (error.code !== 'ENOENT') throw error;
    }
  }
  return null;
}

// Moves a file that others could have put there out of the way, under a name that says so.
function moveAside(file) {
  const aside = `${file}.untrusted-${new Date().toISOString().replace(/[:.]/g, '-')}`;
  try {
    fs.renameSync(file, aside);
  } catch (error) {
    if (error.code === 'ENOENT') return '';
    throw error;
  }
  return `; the file found there, in a folder others could change, moved to ${aside}`;
}

function main([file, ...args]) {
  const given = Object.fromEntries(args.map((arg) => arg.split(/=(.*)/s, 2)));
  let current = null;
  const untrusted = given.untrusted === '1';
  let movedAside = '';
  try {
    const link = linkOnPath(file, !untrusted);
    if (link) {
      console.log(`kestovar settings: ${link} is a link, which setup does not follow; ${file} left as it was`);
      return 1;
    }
    // A link there is moved aside itself, never what it points to.
    if (untrusted) movedAside = moveAside(file);
    else current = fs.readFileSync(file, 'utf8');
  } catch (error) {
    if (error.code !== 'ENOENT') {
      console.log(`kestovar settings: ${file} could not be read (${error.code}); left as it was`);
      return 1;
    }
  }
  const keys = ['origins', 'port'].filter((key) => given[key]);
  if (keys.length === 0) {
    console.log(`kestovar settings: nothing to write${movedAside}`);
    return 0;
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
    // Made new ('wx'): never through a file or link someone put there.
    fs.writeFileSync(temporary, text, { flag: 'wx' });
    fs.renameSync(temporary, file);
  } catch (error) {
    if (error.code !== 'EEXIST') fs.rmSync(temporary, { force: true });
    console.log(`kestovar settings: ${file} could not be written (${error.code}); left as it was`);
    return 1;
  }
  console.log(`kestovar settings: ${keys.join(' and ')} written to ${file}${movedAside}`);
  return 0;
}

if (require.main === module) process.exitCode = main(process.argv.slice(2));

module.exports = { updatedSettings, main };
