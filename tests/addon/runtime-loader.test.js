'use strict';
// How the addon finds and loads the NDI runtime: the registry value forms it loads from,
// the forms it refuses without any load attempt, no other place ever searched (decoy
// runtimes lie in the current directory, beside the addon and on PATH), initialising once,
// retrying after a failure, and the stand-in variants with missing entry points.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const registry = require('../rig/registry.js');
const {
  ADDON, RUNTIME_FILE, standinDir, useStandinLog, fromHex, workDir, loadFreshAddon, copyStandin, runChild,
} = require('./standin-log.js');

const dir = workDir('runtime-loader');
const log = useStandinLog(dir);
delete process.env.NDI_RUNTIME_DIR_V6;

// Decoys: wherever a search by bare name, a relative path or a rooted path without drive
// would look.
const addonDir = path.join(dir, 'addons');
const cwdDir = path.join(dir, 'cwd');
const pathDir = path.join(dir, 'on-path');
const rootedDir = path.join(dir, 'rooted');
const driveCDecoys = ['C:\\', 'C:\\kestovar-decoy'];
for (const d of [addonDir, cwdDir, pathDir, rootedDir, path.join(cwdDir, 'ndi', 'runtime'), path.join(cwdDir, 'rel'),
  ...driveCDecoys]) {
  copyStandin('decoy', d);
}
process.chdir(cwdDir);
process.env.PATH = `${pathDir};${process.env.PATH}`;

function fresh() {
  return loadFreshAddon(addonDir);
}

// Module file names as the stand-in reports them, compared without case, device prefix
// or separator style.
function normal(p) {
  return p.replace(/^[\\/][\\/]\?[\\/]/, '').replace(/\//g, '\\').toLowerCase();
}

let okCount = 0;
function okDir() {
  return copyStandin('full', path.join(dir, `ok-${++okCount}`));
}

function assertLoadedFrom(runtimeDir, ev) {
  assert.deepEqual(ev.map((e) => e.event), ['load', 'initialize'], JSON.stringify(ev));
  assert.equal(ev[0].variant, 'full');
  assert.equal(normal(fromHex(ev[0].path)), normal(path.join(runtimeDir, RUNTIME_FILE)));
  assert.equal(ev[1].result, '1');
}

test('registry value forms that load the runtime', () => {
  const cases = [
    ['drive and backslashes', (d) => registry.setMachineValue(d)],
    ['forward slashes', (d) => registry.setMachineValue(d.replace(/\\/g, '/'))],
    ['trailing backslash', (d) => registry.setMachineValue(`${d}\\`)],
    ['trailing slash, forward slashes', (d) => registry.setMachineValue(`${d.replace(/\\/g, '/')}/`)],
    ['lower-case drive', (d) => registry.setMachineValue(d[0].toLowerCase() + d.slice(1))],
    ['device path', (d) => registry.setMachineValue(`\\\\?\\${d}`)],
    ['device path, forward slashes', (d) => registry.setMachineValue(`//?/${d.replace(/\\/g, '/')}`)],
    ['REG_EXPAND_SZ, expanded', (d) => {
      process.env.KESTOVAR_TEST_NDI_PARENT = path.dirname(d);
      registry.setMachineValue(`%KESTOVAR_TEST_NDI_PARENT%\\${path.basename(d)}`, registry.REG_EXPAND_SZ);
    }],
    ['a zero unit cuts the text', (d) => registry.setMachineValue(`${d}\0\\elsewhere`)],
    ['odd length: the half unit is dropped', (d) => registry.setMachineValueRaw(registry.REG_SZ,
      Buffer.concat([Buffer.from(d, 'utf16le'), Buffer.from([0x41])]))],
    ['odd length after the terminator', (d) => registry.setMachineValueRaw(registry.REG_SZ,
      Buffer.concat([Buffer.from(`${d}\0`, 'utf16le'), Buffer.from([0x5c])]))],
  ];
  for (const [label, set] of cases) {
    const d = okDir();
    set(d);
    const q = fresh();
    log.next();
    assert.equal(q.isAvailable(), true, label);
    assertLoadedFrom(d, log.next());
  }
});

test('registry values refused without any load attempt', () => {
  const someDir = okDir();
  const rootless = rootedDir.slice(2); // "\work\...\rooted": rooted on the current drive
  assert.match(rootless, /^\\/);
  const cases = [
    ['no value', () => registry.deleteMachineValue()],
    ['empty text', () => registry.setMachineValue('')],
    // Values of 0 or 1 byte cannot be stored here: Wine's regedit crashes on hex(1) data of
    // one byte and stores garbage for an empty one.
    ['REG_DWORD', () => registry.setMachineValueRaw(registry.REG_DWORD, Buffer.from([1, 0, 0, 0]))],
    ['REG_BINARY holding a good path', () => registry.setMachineValueRaw(registry.REG_BINARY,
      Buffer.from(`${someDir}\0`, 'utf16le'))],
    ['REG_MULTI_SZ holding a good path', () => registry.setMachineValueRaw(7,
      Buffer.from(`${someDir}\0\0`, 'utf16le'))],
    ['relative', () => registry.setMachineValue('ndi\\runtime')],
    ['relative, one name', () => registry.setMachineValue('rel')],
    ['rooted without drive', () => registry.setMachineValue(rootless)],
    ['rooted without drive, forward slash', () => registry.setMachineValue(rootless.replace(/\\/g, '/'))],
    ['drive alone', () => registry.setMachineValue('C:')],
    ['drive and a name', () => registry.setMachineValue('C:kestovar-decoy')],
    ['current drive and a relative name', () => registry.setMachineValue(`${cwdDir.slice(0, 2)}rel`)],
    ['digit as drive', () => registry.setMachineValue('1:\\ndi')],
    ['leading space is not trimmed', () => registry.setMachineValue(` ${someDir}`)],
    ['quotes are not removed', () => registry.setMachineValue(`"${someDir}"`)],
    ['REG_EXPAND_SZ of an unset variable stays relative', () => {
      delete process.env.KESTOVAR_TEST_NDI_UNSET;
      registry.setMachineValue('%KESTOVAR_TEST_NDI_UNSET%\\ndi', registry.REG_EXPAND_SZ);
    }],
    ['only the environment variable', () => {
      registry.deleteMachineValue();
      process.env.NDI_RUNTIME_DIR_V6 = someDir;
    }],
  ];
  try {
    for (const [label, set] of cases) {
      set();
      const q = fresh();
      log.next();
      assert.equal(q.isAvailable(), false, label);
      assert.equal(q.start('refused', 64, 64), false, label);
      assert.equal(q.isAvailable(), false, label);
      assert.deepEqual(log.next(), [], `${label}: no runtime loaded from anywhere`);
    }
  } finally {
    delete process.env.NDI_RUNTIME_DIR_V6;
  }
});

test('a runtime directory without the library: the load fails, nothing else is tried', () => {
  const empty = path.join(dir, 'empty');
  fs.mkdirSync(empty, { recursive: true });
  registry.setMachineValue(empty);
  const q = fresh();
  log.next();
  assert.equal(q.isAvailable(), false);
  assert.equal(q.isAvailable(), false);
  assert.deepEqual(log.next(), []);
  // The same instance finds the runtime as soon as it is there.
  copyStandin('full', empty);
  assert.equal(q.isAvailable(), true);
  assertLoadedFrom(empty, log.next());
});

test('a child started with NDI_RUNTIME_DIR_V6 but no registry value loads nothing', () => {
  registry.deleteMachineValue();
  const someDir = okDir();
  log.next();
  const script = `const q = require(${JSON.stringify(ADDON)});
    process.stdout.write(JSON.stringify([q.isAvailable(), q.start('child', 64, 64), process.env.NDI_RUNTIME_DIR_V6]));`;
  const child = runChild(script, { ...process.env, NDI_RUNTIME_DIR_V6: someDir }, path.join(dir, 'child.out'));
  assert.equal(child.status, 0, child.output);
  assert.deepEqual(JSON.parse(child.output), [false, false, someDir]);
  assert.deepEqual(log.next(), []);
});

test('initialised once; a failed initialisation frees the library and is retried', () => {
  const d = okDir();
  registry.setMachineValue(d);
  const q = fresh();
  log.next();
  process.env.NDI_STANDIN_INIT_FAIL = '1';
  try {
    assert.equal(q.isAvailable(), false);
    let ev = log.next();
    assert.deepEqual(ev.map((e) => [e.event, e.result]),
      [['load', undefined], ['initialize', '0'], ['unload', undefined]]);
    const firstCount = Number(ev[1].count);
    // start follows the same path and looks at no argument.
    assert.equal(q.start(), false);
    ev = log.next();
    assert.deepEqual(ev.map((e) => [e.event, e.result]),
      [['load', undefined], ['initialize', '0'], ['unload', undefined]]);
    assert.equal(Number(ev[1].count), firstCount + 1);
  } finally {
    delete process.env.NDI_STANDIN_INIT_FAIL;
  }
  assert.equal(q.isAvailable(), true);
  assertLoadedFrom(d, log.next());
  assert.equal(q.isAvailable(), true);
  // Loaded for good: the registry is not read again.
  registry.deleteMachineValue();
  assert.equal(q.isAvailable(), true);
  assert.equal(q.start('once', 64, 64), true);
  q.stop();
  const ev = log.next();
  assert.deepEqual(ev.map((e) => e.event), ['send_create', 'flush', 'send_destroy'], 'no second initialize');
});

test('a runtime without NDIlib_send_send_video_v2 is not available and is freed', () => {
  const d = copyStandin('nosend', path.join(dir, 'nosend'));
  registry.setMachineValue(d);
  const q = fresh();
  log.next();
  for (let i = 0; i < 2; i++) {
    assert.equal(q.isAvailable(), false);
    const ev = log.next();
    assert.deepEqual(ev.map((e) => e.event), ['load', 'unload'], 'never initialised');
    assert.equal(ev[0].variant, 'nosend');
  }
  assert.equal(q.start('x', 64, 64), false);
  assert.equal(q.isRunning(), false);
});

test('a runtime without the asynchronous send is available and sends synchronously', () => {
  const d = copyStandin('noasync', path.join(dir, 'noasync'));
  registry.setMachineValue(d);
  const q = fresh();
  log.next();
  assert.equal(q.isAvailable(), true);
  assert.equal(q.start('sync', 64, 48), true);
  assert.equal(q.sendFrame(Buffer.alloc(64 * 48 * 4, 1)), true);
  assert.equal(q.sendFrame(Buffer.alloc(64 * 48 * 4, 2)), true);
  assert.equal(q.stop(), true);
  assert.equal(q.stop(), true);
  const ev = log.next();
  assert.deepEqual(ev.map((e) => e.event),
    ['load', 'initialize', 'send_create', 'send_video', 'send_video', 'send_destroy'], 'no flush');
  assert.deepEqual(ev.filter((e) => e.event === 'send_video').map((e) => e.mode), ['sync', 'sync']);
  assert.ok(ev.every((e) => e.variant === 'noasync'));
});

test.after(() => {
  registry.deleteMachineValue();
  for (const d of driveCDecoys) fs.rmSync(path.join(d, RUNTIME_FILE), { force: true });
  fs.rmSync('C:\\kestovar-decoy', { recursive: true, force: true });
  // Nothing anywhere ever loaded a decoy.
  assert.deepEqual(log.all().filter((e) => e.variant === 'decoy'), []);
});
