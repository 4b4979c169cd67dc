'use strict';
// Exit codes of the built launcher: 11 for each layout check (nothing logged, no log
// directory created), the Windows error code of a failed CreateProcessW with its record,
// and 0 for a created child. Independent cases run concurrently.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness.js');

// A layout failure must leave both possible log locations untouched.
async function expectIncomplete(inst) {
  const logDir = h.tempDir('log');
  const appData = h.tempDir('appdata');
  const local = await h.launch(inst.exe, { env: h.launchEnv({ LOCALAPPDATA: appData }) });
  const explicit = await h.launch(inst.exe, {
    env: h.launchEnv({ KESTOVAR_NDI_LOG_DIR: logDir, LOCALAPPDATA: appData }) });
  assert.equal(local.code, 11);
  assert.equal(explicit.code, 11);
  assert.deepEqual(fs.readdirSync(appData), [], 'no Tarnwell directory created');
  assert.deepEqual(fs.readdirSync(logDir), [], 'no record written in an existing log directory');
}

const layouts = {
  'runtime missing': (i) => fs.rmSync(i.runtime),
  'a directory in place of the runtime': (i) => { fs.rmSync(i.runtime); fs.mkdirSync(i.runtime); },
  'script missing with the runtime present': (i) => fs.rmSync(i.script),
  'a directory in place of the script': (i) => { fs.rmSync(i.script); fs.mkdirSync(i.script); },
  'runtime directory missing': (i) => fs.rmSync(path.join(i.dir, 'runtime'), { recursive: true }),
  'app missing': (i) => fs.rmSync(i.app, { recursive: true }),
  'a plain file named app': (i) => { fs.rmSync(i.app, { recursive: true }); fs.writeFileSync(i.app, ''); },
};

test('an incomplete installation exits with 11 and touches no log', { concurrency: true }, async (t) => {
  await Promise.all(Object.entries(layouts).map(([name, breakIt]) =>
    t.test(name, async () => {
      const inst = h.stage();
      breakIt(inst);
      await expectIncomplete(inst);
    })));
});

test('a runtime file that is no valid executable: create_failed with the Windows error code', { concurrency: true }, async (t) => {
  const cases = {
    'text file': 'this is not a program\r\n',
    'empty file': '',
    'truncated PE header': Buffer.from('MZ\x90\x00\x03\x00\x00\x00', 'latin1'),
  };
  await Promise.all(Object.entries(cases).map(([name, content]) =>
    t.test(name, async () => {
      const inst = h.stage();
      fs.writeFileSync(inst.runtime, content);
      const logDir = h.tempDir('log');
      const result = await h.launch(inst.exe, { env: h.launchEnv({ KESTOVAR_NDI_LOG_DIR: logDir }) });
      // Windows answers ERROR_BAD_EXE_FORMAT; Wine 8 answers the same for these files.
      assert.equal(result.code, 193);
      const records = h.launcherLines(h.readText(path.join(logDir, 'bridge.log')));
      assert.ok(records.every((r) => r.record), 'only launcher records, no child output');
      assert.deepEqual(records.map((r) => r.key).filter((k) => !k.startsWith('ndi_runtime_')),
        ['starting', 'create_failed']);
      assert.match(records[1].key, /^ndi_runtime_(machine_missing|from_machine_registry)$/);
      assert.equal(records[2].value, 193);
      for (const r of records) assert.equal(r.pid, result.pid);
    })));
});

test('a complete installation exits with 0 even when the child fails at once', async () => {
  const inst = h.stage();
  const logDir = h.tempDir('log');
  const done = path.join(logDir, 'done');
  const result = await h.launch(inst.exe, {
    env: h.launchEnv({ KESTOVAR_NDI_LOG_DIR: logDir, ...h.probeOptions({ done, exit: 255 }) }) });
  assert.equal(result.code, 0);
  await h.waitFor('probe done', () => h.exists(done));
  const entries = h.launcherLines(h.readText(path.join(logDir, 'bridge.log')));
  const child = entries.find((e) => e.record && e.key === 'child');
  assert.ok(child, 'child record written');
  assert.ok(entries.some((e) => e.line === `probe begin tag=p pid=${child.value}`),
    'the child record names the process that wrote to the log');
});
