'use strict';
// What setup writes into the machine settings file from /ORIGINS= and /PORT=: only the
// keys given, the rest of the file kept; anything malformed changes nothing.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { updatedSettings, main } = require(path.join(__dirname, '..', '..', 'app', 'src', 'setup-settings.js'));

test('a new file holds the keys given, as UTF-8 JSON', () => {
  assert.deepEqual(JSON.parse(updatedSettings(null, { origins: 'http://127.0.0.1:5173,https://app.example', port: '17490' })),
    { origins: ['http://127.0.0.1:5173', 'https://app.example'], port: 17490 });
  assert.deepEqual(JSON.parse(updatedSettings(null, { port: '1' })), { port: 1 });
});

test('an existing file keeps what is not given, byte order mark or not', () => {
  const current = '\ufeff{"origins":["https://a.example"],"port":17490,"note":"by hand"}';
  assert.deepEqual(JSON.parse(updatedSettings(current, { port: '17491' })),
    { origins: ['https://a.example'], port: 17491, note: 'by hand' });
  assert.deepEqual(JSON.parse(updatedSettings(current, { origins: 'http://[::1]:8080' })),
    { origins: ['http://[::1]:8080'], port: 17490, note: 'by hand' });
});

test('malformed values and files are refused with the reason', () => {
  for (const [current, given, reason] of [
    ['[1]', { port: '1' }, /not a JSON object/],
    ['{"port":', {}, /not a JSON object/],
    [null, { port: '0' }, /"0" is not a port/],
    [null, { port: '65536' }, /"65536" is not a port/],
    [null, { port: '08' }, /"08" is not a port/],
    [null, { origins: 'null' }, /"null" is not an origin/],
    [null, { origins: 'https://a.example,' }, /"" is not an origin/],
    [null, { origins: 'http://a.example/' }, /"http:\/\/a.example\/" is not an origin/],
    [null, { origins: 'HTTP://A.EXAMPLE' }, /is not an origin/],
    [null, { origins: 'file:///c:/x' }, /is not an origin/],
  ]) {
    assert.throws(() => updatedSettings(current, given), reason, JSON.stringify([current, given]));
  }
});

test('a file from a folder others could change is moved aside; links and a planted temporary file are not written through', () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-setup-settings-'));
  const folder = path.join(root, 'Tarnwell', 'Kestovar Output Bridge');
  const file = path.join(folder, 'settings.json');
  fs.mkdirSync(folder, { recursive: true });
  const planted = '{"origins":["https://planted.example"],"port":1}';
  fs.writeFileSync(file, planted);
  assert.equal(main([file, 'port=17490', 'untrusted=1']), 0);
  const aside = fs.readdirSync(folder).filter((name) => name.startsWith('settings.json.untrusted-'));
  assert.equal(aside.length, 1);
  assert.equal(fs.readFileSync(path.join(folder, aside[0]), 'utf8'), planted);
  assert.deepEqual(JSON.parse(fs.readFileSync(file, 'utf8')), { port: 17490 }, 'only this command line\'s keys');

  const elsewhere = path.join(root, 'elsewhere.json');
  fs.writeFileSync(elsewhere, planted);
  fs.rmSync(file);
  fs.symlinkSync(elsewhere, file);
  assert.equal(main([file, 'port=17491']), 1);
  fs.rmSync(file);
  fs.renameSync(path.join(root, 'Tarnwell'), path.join(root, 'real'));
  fs.symlinkSync(path.join(root, 'real'), path.join(root, 'Tarnwell'));
  assert.equal(main([file, 'port=17491', 'untrusted=1']), 1);
  fs.rmSync(path.join(root, 'Tarnwell'));
  fs.renameSync(path.join(root, 'real'), path.join(root, 'Tarnwell'));
  fs.symlinkSync(elsewhere, `${file}.${process.pid}.tmp`);
  assert.equal(main([file, 'port=17491']), 1);
  assert.equal(fs.readFileSync(elsewhere, 'utf8'), planted, 'nothing written through a link');
  assert.equal(fs.existsSync(file), false);
  fs.rmSync(root, { recursive: true });
});
