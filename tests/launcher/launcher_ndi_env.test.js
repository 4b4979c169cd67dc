'use strict';
// NDI_RUNTIME_DIR_V6 as the child sees it, following the machine registry value of the
// prefix: set when the value names a directory holding the runtime library, removed
// otherwise, whatever the launcher inherited; with the matching record each time.
// The registry is one machine-wide value, so the cases run one after another.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const registry = require('../rig/registry.js');
const h = require('./harness.js');

const inst = h.stage();
const FROM = 'ndi_runtime_from_machine_registry';
const MISSING = 'ndi_runtime_machine_missing';

test.after(() => registry.deleteMachineValue());

// Launches with an inherited value (or none) and returns the record and the child's view.
async function run({ inherited, vars = {}, log = true, cwd } = {}) {
  const side = h.tempDir('side');
  const report = path.join(side, 'report.txt');
  const logDir = log ? side : undefined;
  const result = await h.launch(inst.exe, {
    cwd,
    env: h.launchEnv({ NDI_RUNTIME_DIR_V6: inherited, KESTOVAR_NDI_LOG_DIR: logDir,
      LOCALAPPDATA: undefined, ...vars, ...h.probeOptions({ report }) }),
  });
  assert.equal(result.code, 0);
  const probe = await h.probeReport(report);
  let records = null;
  if (log) {
    records = h.launcherLines(h.readText(path.join(side, 'bridge.log')))
      .filter((e) => e.record).map((e) => `${e.key}=${e.key === 'child' ? 'pid' : e.value}`);
  }
  return { seen: probe.ndi_runtime_dir, records };
}

function assertSet(r, value) {
  assert.deepEqual(r.records, ['starting=0', `${FROM}=1`, 'child=pid']);
  assert.equal(r.seen, value);
}

function assertRemoved(r) {
  assert.deepEqual(r.records, ['starting=0', `${MISSING}=1`, 'child=pid']);
  assert.equal(r.seen, null, 'the child sees no NDI_RUNTIME_DIR_V6');
}

const valid = h.ndiRuntimeDir(path.join(h.tempDir('ndi'), 'Runtime ü €'));
const inheritedValid = h.ndiRuntimeDir();

test('a valid machine value replaces a different inherited one, exactly as stored', async () => {
  registry.setMachineValue(valid);
  assertSet(await run({ inherited: inheritedValid }), valid);
  assertSet(await run({}), valid);
});

test('a trailing backslash or forward slash is kept', async () => {
  registry.setMachineValue(valid + '\\');
  assertSet(await run({ inherited: inheritedValid }), valid + '\\');
  registry.setMachineValue(valid + '/');
  assertSet(await run({}), valid + '/');
});

test('a relative value is tested like any other (against the launcher\'s current directory)', async () => {
  const base = h.tempDir('rel');
  h.ndiRuntimeDir(path.join(base, 'ndi'));
  registry.setMachineValue('ndi');
  assertSet(await run({ cwd: base }), 'ndi');
  assertRemoved(await run({ cwd: h.tempDir('rel'), inherited: inheritedValid }));
});

test('values that do not name a runtime directory remove an inherited valid value', async () => {
  const withoutLibrary = h.tempDir('empty');
  const libraryIsDir = h.tempDir('dirlib');
  fs.mkdirSync(path.join(libraryIsDir, h.NDI_LIBRARY));
  const refused = [
    ['the library file itself', path.join(valid, h.NDI_LIBRARY)],
    ['a directory without the library', withoutLibrary],
    ['a missing directory', path.join(withoutLibrary, 'gone')],
    ['a directory in the library file\'s place', libraryIsDir],
  ];
  for (const [what, value] of refused) {
    registry.setMachineValue(value);
    await test(what, async () => assertRemoved(await run({ inherited: inheritedValid })));
  }
});

test('no machine value: an inherited valid value is removed', async () => {
  registry.deleteMachineValue();
  assert.equal(registry.queryMachineValue(), null);
  assertRemoved(await run({ inherited: inheritedValid }));
  assertRemoved(await run({ inherited: 'x'.repeat(32000) }));
  assertRemoved(await run({}));
});

test('registry types and raw data', async () => {
  // Expanded by the registry read against the launcher's own environment.
  registry.setMachineValue('%KOB_NDI_HOME%\\lib', registry.REG_EXPAND_SZ);
  const home = h.tempDir('home');
  h.ndiRuntimeDir(path.join(home, 'lib'));
  assertSet(await run({ vars: { KOB_NDI_HOME: home }, inherited: inheritedValid }), path.join(home, 'lib'));

  registry.setMachineValueRaw(registry.REG_DWORD, Buffer.from([1, 0, 0, 0]));
  assertRemoved(await run({ inherited: inheritedValid }));

  registry.setMachineValueRaw(registry.REG_BINARY, Buffer.from(valid + '\0', 'utf16le'));
  assertRemoved(await run({ inherited: inheritedValid }));

  // No data: shorter than one UTF-16 unit. (Wine's regedit crashes importing a single
  // byte, so the empty value stands for the short ones.)
  registry.setMachineValueRaw(registry.REG_SZ, Buffer.alloc(0));
  assertRemoved(await run({ inherited: inheritedValid }));

  // Odd length: the text, no terminator, and one stray byte.
  registry.setMachineValueRaw(registry.REG_SZ, Buffer.concat([Buffer.from(valid, 'utf16le'), Buffer.from([0x41])]));
  assertSet(await run({ inherited: inheritedValid }), valid);

  // A zero unit in the middle: only the text before it counts.
  registry.setMachineValueRaw(registry.REG_SZ, Buffer.from(valid + '\0junk\0', 'utf16le'));
  assertSet(await run({}), valid);
});

test('with the log unavailable the variable is still set or removed', async () => {
  registry.setMachineValue(valid);
  const set = await run({ log: false, inherited: inheritedValid });
  assert.equal(set.seen, valid);
  registry.deleteMachineValue();
  const removed = await run({ log: false, inherited: inheritedValid });
  assert.equal(removed.seen, null);
});
