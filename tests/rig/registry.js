'use strict';
// The machine registry value NDI_RUNTIME_DIR_V6 of the Wine prefix, for tests running in
// the Windows node.exe and in this machine's node. Values are written through a .reg file
// so that any type and any raw bytes (odd lengths, embedded zero units) can be stored.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { windowsPath, runWindows } = require('./wine.js');

const KEY = 'HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment';
const NAME = 'NDI_RUNTIME_DIR_V6';
const REG_SZ = 1;
const REG_EXPAND_SZ = 2;
const REG_BINARY = 3;
const REG_DWORD = 4;

function importRegFile(body) {
  const file = path.join(os.tmpdir(), `kestovar-${process.pid}-${Date.now()}.reg`);
  // regedit reads UTF-16LE with a byte-order mark.
  fs.writeFileSync(file, Buffer.from('\ufeffWindows Registry Editor Version 5.00\r\n\r\n' + body, 'utf16le'));
  try {
    // No pipe: Wine's services, started by the first program in a new prefix, would hold it.
    runWindows('regedit.exe', ['/s', windowsPath(file)], { stdio: 'ignore' });
  } finally {
    fs.rmSync(file, { force: true });
  }
}

// Stores raw bytes under the value with the given registry type number.
function setMachineValueRaw(type, bytes) {
  const hex = [...bytes].map((b) => b.toString(16).padStart(2, '0')).join(',');
  importRegFile(`[${KEY}]\r\n"${NAME}"=hex(${type.toString(16)}):${hex}\r\n`);
}

// Stores a string (REG_SZ unless told otherwise), zero-terminated as Windows stores it.
function setMachineValue(text, type = REG_SZ) {
  setMachineValueRaw(type, Buffer.from(text + '\0', 'utf16le'));
}

function deleteMachineValue() {
  importRegFile(`[${KEY}]\r\n"${NAME}"=-\r\n`);
}

// The value as reg.exe reports it, or null when it is absent.
function queryMachineValue() {
  try {
    return runWindows('reg.exe', ['query', KEY, '/v', NAME], { encoding: 'utf8' });
  } catch {
    return null;
  }
}

// Points the value at a directory (a path of this side), or removes it (null).
function setNdiRuntimeDir(dir) {
  if (dir === null) deleteMachineValue();
  else setMachineValue(windowsPath(dir));
}

module.exports = {
  setNdiRuntimeDir, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
  setMachineValue, setMachineValueRaw, deleteMachineValue, queryMachineValue,
};
