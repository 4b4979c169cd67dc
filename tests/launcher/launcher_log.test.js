'use strict';
// The launcher's log through the built launcher: where the directory is and how it is
// created, the record format, rotation at the threshold, and odd environment values.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness.js');

const CHAIN = ['Tarnwell', 'Kestovar Output Bridge', 'logs'];
const inst = h.stage();

// One launch with the given variables; waits for the probe and returns what it reported.
async function run(vars) {
  const side = h.tempDir('side');
  const report = path.join(side, 'report.txt');
  const result = await h.launch(inst.exe, { env: h.launchEnv({ ...vars, ...h.probeOptions({ report }) }) });
  assert.equal(result.code, 0);
  const probe = await h.probeReport(report);
  return { result, probe };
}

function logRecords(dir) {
  const text = h.readText(path.join(dir, 'bridge.log'));
  assert.notEqual(text, null, `bridge.log in ${dir}`);
  return h.launcherLines(text).filter((e) => e.record);
}

// A run whose child writes to the log file at dir\bridge.log.
function assertLoggedTo(run, dir) {
  assert.equal(run.probe.stdout, 'disk');
  assert.equal(run.probe.stdout_path.toLowerCase(), `\\\\?\\${path.join(dir, 'bridge.log')}`.toLowerCase());
  const records = logRecords(dir).filter((r) => r.pid === run.result.pid);
  assert.deepEqual(records.map((r) => r.key).filter((k) => !k.startsWith('ndi_')), ['starting', 'child']);
}

function assertNoLog(run) {
  assert.equal(run.probe.stdout, 'char', 'child output goes to NUL');
  assert.equal(run.probe.stdout_is_stderr, 'yes');
}

test('log directory rules', { concurrency: true }, async (t) => {
  const cases = [
    ['KESTOVAR_NDI_LOG_DIR naming an existing directory is used, LOCALAPPDATA untouched', async () => {
      const dir = h.tempDir('log');
      const appData = h.tempDir('appdata');
      assertLoggedTo(await run({ KESTOVAR_NDI_LOG_DIR: dir, LOCALAPPDATA: appData }), dir);
      assert.deepEqual(fs.readdirSync(appData), []);
    }],
    ['a missing KESTOVAR_NDI_LOG_DIR whose parent exists is created', async () => {
      const dir = path.join(h.tempDir('log'), 'new');
      assertLoggedTo(await run({ KESTOVAR_NDI_LOG_DIR: dir }), dir);
    }],
    ['KESTOVAR_NDI_LOG_DIR two levels below anything existing: no log, no fallback', async () => {
      const parent = h.tempDir('log');
      const appData = h.tempDir('appdata');
      assertNoLog(await run({ KESTOVAR_NDI_LOG_DIR: path.join(parent, 'a', 'b'), LOCALAPPDATA: appData }));
      assert.deepEqual(fs.readdirSync(parent), []);
      assert.deepEqual(fs.readdirSync(appData), []);
    }],
    ['KESTOVAR_NDI_LOG_DIR naming a plain file: no log, the file unchanged', async () => {
      const file = path.join(h.tempDir('log'), 'plain');
      fs.writeFileSync(file, 'keep');
      const appData = h.tempDir('appdata');
      assertNoLog(await run({ KESTOVAR_NDI_LOG_DIR: file, LOCALAPPDATA: appData }));
      assert.equal(fs.readFileSync(file, 'utf8'), 'keep');
      assert.deepEqual(fs.readdirSync(appData), []);
    }],
    ['an empty KESTOVAR_NDI_LOG_DIR counts as unset: a fresh LOCALAPPDATA chain is created', async () => {
      const appData = h.tempDir('appdata');
      const logs = path.join(appData, ...CHAIN);
      const r = await run({ KESTOVAR_NDI_LOG_DIR: '', LOCALAPPDATA: appData });
      assertLoggedTo(r, logs);
      assert.deepEqual(fs.readdirSync(appData), ['Tarnwell']);
      assert.deepEqual(fs.readdirSync(path.join(appData, 'Tarnwell')), ['Kestovar Output Bridge']);
      assert.deepEqual(fs.readdirSync(logs), ['bridge.log']);
    }],
    ['the chain stops at the first level that cannot serve: earlier levels stay', async () => {
      const appData = h.tempDir('appdata');
      fs.mkdirSync(path.join(appData, 'Tarnwell'));
      fs.writeFileSync(path.join(appData, 'Tarnwell', 'Kestovar Output Bridge'), '');
      assertNoLog(await run({ LOCALAPPDATA: appData }));
      const blocked = h.tempDir('appdata');
      fs.writeFileSync(path.join(blocked, 'Tarnwell'), '');
      assertNoLog(await run({ LOCALAPPDATA: blocked }));
      assert.deepEqual(fs.readdirSync(blocked), ['Tarnwell']);
    }],
    ['LOCALAPPDATA unset, or naming a missing directory: no log, nothing created', async () => {
      assertNoLog(await run({ LOCALAPPDATA: undefined }));
      const parent = h.tempDir('appdata');
      assertNoLog(await run({ LOCALAPPDATA: path.join(parent, 'gone') }));
      assert.deepEqual(fs.readdirSync(parent), []);
    }],
    ['odd values: non-ASCII, 32000 characters, wildcard characters', async () => {
      const dir = path.join(h.tempDir('log'), 'Lög €ñ 日本');
      assertLoggedTo(await run({ KESTOVAR_NDI_LOG_DIR: dir }), dir);
      assertNoLog(await run({ KESTOVAR_NDI_LOG_DIR: 'C:\\' + 'x'.repeat(32000) }));
      assertNoLog(await run({ KESTOVAR_NDI_LOG_DIR: undefined, LOCALAPPDATA: 'Q:\\' + 'ü'.repeat(32000) }));
      assertNoLog(await run({ KESTOVAR_NDI_LOG_DIR: 'C:\\*?<>|"\\logs' }));
    }],
  ];
  await Promise.all(cases.map(([name, fn]) => t.test(name, fn)));
});

test('records: exact format, CR LF, ASCII, launcher pid, local time', async () => {
  const dir = h.tempDir('log');
  const before = new Date();
  const r = await run({ KESTOVAR_NDI_LOG_DIR: dir });
  const after = new Date();
  const bytes = fs.readFileSync(path.join(dir, 'bridge.log'));
  const text = bytes.toString('latin1');
  const lines = text.split('\r\n');
  const records = lines.filter((l) => l.startsWith('['));
  assert.equal(records.length, 3);
  for (const line of records) {
    assert.match(line, /^\[\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\] launcher pid=\d+ [a-z_]+=\d+$/);
    assert.ok(/^[\x20-\x7e]*$/.test(line), 'records are ASCII');
  }
  assert.ok(bytes.indexOf(0) === -1, 'no zero byte');
  assert.notDeepEqual([...bytes.subarray(0, 3)], [0xef, 0xbb, 0xbf], 'no byte-order mark');
  const parsed = logRecords(dir);
  const pad = (n, w = 2) => String(n).padStart(w, '0');
  const stamp = (d) => `${pad(d.getFullYear(), 4)}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  for (const rec of parsed) {
    assert.equal(rec.pid, r.result.pid);
    const t = records[parsed.indexOf(rec)].slice(1, 20);
    assert.ok(t >= stamp(new Date(before - 1000)) && t <= stamp(new Date(after.getTime() + 1000)),
      `${t} lies between ${stamp(before)} and ${stamp(after)}`);
  }
  assert.equal(parsed[2].value, r.probe.pid);
});

test('rotation happens strictly above 4,194,304 bytes and replaces the previous generation', { concurrency: true }, async (t) => {
  const THRESHOLD = 4194304;
  async function withLog(size, { sparse = false } = {}) {
    const dir = h.tempDir('rot');
    const current = path.join(dir, 'bridge.log');
    const previous = path.join(dir, 'bridge.previous.log');
    fs.writeFileSync(previous, 'older generation\r\n');
    if (sparse) {
      fs.writeFileSync(current, 'head\r\n');
      fs.truncateSync(current, size);
    } else {
      fs.writeFileSync(current, Buffer.alloc(size, 'a'));
    }
    const r = await run({ KESTOVAR_NDI_LOG_DIR: dir });
    return { dir, current, previous, r };
  }
  await Promise.all([
    t.test('exactly 4,194,304 bytes is kept and appended to', async () => {
      const { current, previous, r } = await withLog(THRESHOLD);
      const data = fs.readFileSync(current);
      assert.ok(data.length > THRESHOLD);
      assert.ok(data.subarray(0, THRESHOLD).every((b) => b === 0x61), 'old content kept');
      assert.match(data.subarray(THRESHOLD, THRESHOLD + 64).toString(), /^\[.*\] launcher pid=\d+ starting=0\r\n/);
      assert.equal(fs.readFileSync(previous, 'utf8'), 'older generation\r\n');
      assert.equal(r.probe.stdout, 'disk');
    }),
    t.test('4,194,305 bytes is rotated; the older generation is replaced', async () => {
      const { dir, current, previous } = await withLog(THRESHOLD + 1);
      const old = fs.readFileSync(previous);
      assert.equal(old.length, THRESHOLD + 1);
      assert.ok(old.every((b) => b === 0x61));
      assert.match(fs.readFileSync(current, 'utf8'), /^\[.*\] launcher pid=\d+ starting=0\r\n/);
      assert.deepEqual(logRecords(dir).map((r) => r.key).filter((k) => !k.startsWith('ndi_')), ['starting', 'child']);
    }),
    t.test('a file above 4 GiB (non-zero high half) is rotated', async () => {
      const size = 2 ** 32 + 7;
      const { current, previous } = await withLog(size, { sparse: true });
      try {
        assert.equal(fs.statSync(previous).size, size);
        assert.ok(fs.statSync(current).size < 4096);
      } finally {
        fs.rmSync(previous, { force: true });
      }
    }),
  ]);
});
