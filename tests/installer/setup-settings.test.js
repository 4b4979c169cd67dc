'use strict';
// What setup writes into the machine settings file from /ORIGINS= and /PORT=: only the
// keys given, the rest of the file kept; anything malformed changes nothing.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { updatedSettings } = require(path.join(__dirname, '..', '..', 'app', 'src', 'setup-settings.js'));

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
