'use strict';
// The real node.exe copied as the bridge runtime, kestovar-ndi-bridge.exe, loads the
// addon: its Node-API calls bind to that executable, and no file named node.exe is loaded.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

// A full path with its drive: CreateProcess wants one.
const buildDir = path.resolve(process.env.KESTOVAR_BUILD_DIR);
const addonPath = path.join(buildDir, 'native', 'ndi', 'quorvex.node');

// Runs in the renamed runtime; prints one JSON line.
const CHILD = `
const addon = require(process.env.KESTOVAR_ADDON);
const names = Object.keys(addon);
const buf = Buffer.alloc(6);
const same = addon.unmaskFrame(buf, Buffer.from([1, 2, 3, 4])) === buf;
let typeError = '';
try { addon.unmaskFrame(buf); } catch (e) { typeError = e.constructor.name + ': ' + e.message; }
const modules = process.report.getReport().sharedObjects.map((p) => p.split(/[\\\\/]/).pop().toLowerCase());
console.log(JSON.stringify({ execPath: process.execPath, names, fnNames: names.map((n) => addon[n].name),
  bytes: [...buf], same, typeError, available: addon.isAvailable(), modules }));
`;

test('the bridge runtime under its own file name loads and runs the addon', () => {
  const dir = path.join(buildDir, 'tests', 'host', 'runtime');
  fs.mkdirSync(dir, { recursive: true });
  const runtime = path.join(dir, 'kestovar-ndi-bridge.exe');
  fs.copyFileSync(process.execPath, runtime);
  assert.equal(fs.existsSync(path.join(dir, 'node.exe')), false);

  const outFile = path.join(dir, 'child-output.txt');
  const out = fs.openSync(outFile, 'w');
  const result = spawnSync(runtime, ['-e', CHILD], {
    cwd: dir, stdio: ['ignore', out, out], env: { ...process.env, KESTOVAR_ADDON: addonPath },
  });
  fs.closeSync(out);
  const text = fs.readFileSync(outFile, 'utf8');
  assert.equal(result.error, undefined);
  assert.equal(result.status, 0, text);

  const report = JSON.parse(text.trim().split('\n').pop());
  assert.equal(path.win32.basename(report.execPath).toLowerCase(), 'kestovar-ndi-bridge.exe');
  assert.deepEqual(report.names, ['isAvailable', 'start', 'sendFrame', 'stop', 'isRunning', 'unmaskFrame']);
  assert.deepEqual(report.fnNames, ['', '', '', '', '', '']);
  assert.equal(report.same, true);
  assert.deepEqual(report.bytes, [1, 2, 3, 4, 1, 2]);
  assert.equal(report.typeError, 'TypeError: unmaskFrame(buffer, mask)');
  assert.equal(typeof report.available, 'boolean');
  assert.ok(report.modules.includes('kestovar-ndi-bridge.exe'), report.modules.join(' '));
  assert.ok(report.modules.includes('quorvex.node'), report.modules.join(' '));
  assert.equal(report.modules.includes('node.exe'), false, report.modules.join(' '));
  assert.equal(report.modules.includes('libnode.dll'), false);
});
