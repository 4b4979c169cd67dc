'use strict';
// What the bridge is told at start (settings.js): files below the environment.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { readSettings } = require('../../app/src/settings');

test('settings: files below the environment, bad files left out with a reason, bad environment refused', async (t) => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-settings-'));
  const machine = path.join(root, 'ProgramData', 'Tarnwell', 'Kestovar Output Bridge');
  const user = path.join(root, 'user');
  fs.mkdirSync(machine, { recursive: true });
  fs.mkdirSync(user, { recursive: true });
  const env = { ProgramData: path.join(root, 'ProgramData'), KESTOVAR_BRIDGE_STATE_DIR: user };
  const write = (dir, value) => fs.writeFileSync(path.join(dir, 'settings.json'), typeof value === 'string' ? value : JSON.stringify(value));
  assert.deepEqual(readSettings(env).origins, []);
  assert.equal(readSettings(env).port, 17480);

  write(machine, { origins: ['https://a.example', 'https://a.example'], port: 18000 });
  let read = readSettings(env);
  assert.deepEqual(read.origins.map((o) => o.origin), ['https://a.example']);
  assert.match(read.origins[0].from, /^machine settings .*ProgramData/);
  assert.equal(read.port, 18000);
  write(user, '\uFEFF{"port": 18001}');
  read = readSettings(env);
  assert.deepEqual([read.port, read.origins.map((o) => o.origin)], [18001, ['https://a.example']], 'key by key');
  read = readSettings({ ...env, KESTOVAR_BRIDGE_ORIGINS: 'http://127.0.0.1:5173', KESTOVAR_BRIDGE_PORT: '0' });
  assert.deepEqual([read.port, read.origins], [0, [{ origin: 'http://127.0.0.1:5173', from: 'KESTOVAR_BRIDGE_ORIGINS' }]]);
  assert.deepEqual(readSettings({ ...env, KESTOVAR_BRIDGE_ORIGINS: '', KESTOVAR_BRIDGE_PORT: '' }).origins.map((o) => o.origin),
    ['https://a.example'], 'a variable set to the empty string counts as unset');

  for (const [bad, reason] of [['{"origins": [null]}', /null in "origins" is not an origin/], ['{"origins": [""]}', /not an origin/],
    ['{"origins": "https://a.example"}', /must be an array/], ['{"origin": []}', /unknown key "origin"/], ['{"port": 0}', /"port"/],
    ['{port: 1}', /not valid JSON/], ['[]', /not a JSON object/], [' '.repeat(70000), /larger than/],
    [`{"origins": ${'['.repeat(20000)}${']'.repeat(20000)}}`, /^an array in "origins"/]]) {
    await t.test(`a file of ${bad.slice(0, 40)}`, () => {
      write(user, bad);
      read = readSettings(env);
      assert.deepEqual(read.problems.map((p) => p.file), [path.join(user, 'settings.json')]);
      assert.match(read.problems[0].reason, reason);
      assert.equal(read.port, 18000, 'the bad file is left out whole');
    });
  }
  for (const [name, value] of [['KESTOVAR_BRIDGE_ORIGINS', 'null'], ['KESTOVAR_BRIDGE_ORIGINS', 'https://a.example,'],
    ['KESTOVAR_BRIDGE_PORT', '65536'], ['KESTOVAR_BRIDGE_HEAD_TIMEOUT_MS', 'soon']]) {
    await t.test(`${name}=${value}`, () => assert.throws(() => readSettings({ ...env, [name]: value }), (error) => error.fields.name === name));
  }
  fs.rmSync(root, { recursive: true });
});
