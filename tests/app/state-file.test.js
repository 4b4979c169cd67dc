'use strict';
// The state file (state-file.js), and its permissions: set while it is still empty, before
// the token goes in, and no file at all when they cannot be set. (Under Wine icacls is a
// stub, so what it does there is not seen; see the installer test for what Wine shows.)
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const stateFile = require(path.join(__dirname, '..', '..', 'app', 'src', 'state-file.js'));

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-state-'));
const state = { port: 17480, pid: 4242, token: 'a'.repeat(64), started: '2026-01-01T00:00:00.000Z' };
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));

test('the permissions are set on the empty file, then the state is written whole', () => {
  const seen = [];
  stateFile.writeState(dir, state, (file) => seen.push([path.basename(file), fs.readFileSync(file, 'utf8')]));
  assert.deepEqual(seen, [['bridge.json.4242.tmp', '']]);
  assert.deepEqual(stateFile.readState(dir), state);
  assert.deepEqual(fs.readdirSync(dir), ['bridge.json']);
});

test('when they cannot be set, no state file is left and the caller is told', () => {
  fs.rmSync(path.join(dir, 'bridge.json'));
  assert.throws(() => stateFile.writeState(dir, state, () => { throw new Error('icacls failed'); }), /icacls failed/);
  assert.deepEqual(fs.readdirSync(dir), []);
});

test('icacls by its full path: owner and SYSTEM only, nothing inherited', () => {
  assert.deepEqual(stateFile.ownerOnlyCommand('C:\\Users\\a b\\bridge.json.1.tmp', { SystemRoot: 'C:\\WINDOWS' }),
    ['C:\\WINDOWS\\System32\\icacls.exe',
      ['C:\\Users\\a b\\bridge.json.1.tmp', '/inheritance:r', '/grant:r', '*S-1-3-4:F', '*S-1-5-18:F']]);
});

test('state file: written whole, read back, removed only by its own bridge', () => {
  const sub = path.join(dir, 'new', 'sub');
  assert.equal(stateFile.readState(sub), null);
  stateFile.writeState(sub, state);
  assert.deepEqual(stateFile.readState(sub), state);
  assert.deepEqual(fs.readdirSync(sub), ['bridge.json']);
  assert.equal(stateFile.removeOwnState(sub, 4343), false);
  assert.equal(stateFile.removeOwnState(sub, 4242), true);
  for (const bad of ['{', '[]', '{"port":0,"pid":1,"token":"t"}', '{"port":1,"pid":"1","token":"t"}']) {
    fs.writeFileSync(path.join(sub, 'bridge.json'), bad);
    assert.equal(stateFile.readState(sub), null, bad);
  }
  assert.equal(stateFile.stateDirectory({ KESTOVAR_BRIDGE_STATE_DIR: 'X', LOCALAPPDATA: 'L' }), 'X');
  assert.equal(stateFile.stateDirectory({ LOCALAPPDATA: 'L' }), path.join('L', 'Tarnwell', 'Kestovar Output Bridge'));
  assert.equal(stateFile.stateDirectory({}), null);
});
