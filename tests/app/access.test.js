'use strict';
// The door's decisions (access.js): loopback hosts, exact origins, tokens and their proofs.
const test = require('node:test');
const assert = require('node:assert/strict');
const access = require('../../app/src/access');

test('door: loopback hosts, exact origins, tokens in constant time, proofs of the token', () => {
  for (const host of ['127.0.0.1', '127.0.0.1:17480', 'LOCALHOST:1', '[::1]:80']) assert.ok(access.isLoopbackHost(host), host);
  for (const host of [undefined, '', 'evil.example', '127.0.0.1.evil.example', 'localhost.', '[::2]:80', '127.0.0.1:80:80']) {
    assert.ok(!access.isLoopbackHost(host), String(host));
  }
  assert.deepEqual(access.parseOriginList(' http://127.0.0.1:5173,https://app.example '),
    { origins: ['http://127.0.0.1:5173', 'https://app.example'], invalid: [] });
  assert.deepEqual(access.parseOriginList(undefined), { origins: [], invalid: [] });
  for (const bad of ['null', 'https://app.example/', 'http://a:80', 'HTTP://A', 'ftp://a', 'app.example', '*']) {
    assert.deepEqual(access.parseOriginList(`https://ok.example,${bad}`).invalid, [bad], bad);
  }
  assert.deepEqual(access.parseOriginList('https://a.example,,').invalid, ['', '']);

  const policy = access.createAccessPolicy({ port: 17480, origins: ['http://127.0.0.1:5173', 'https://app.example'] });
  const ok = { host: '127.0.0.1:1' };
  assert.equal(policy.refuseUpgrade(ok), null);
  for (const origin of ['https://app.example', 'http://localhost:17480']) assert.equal(policy.refuseUpgrade({ ...ok, origin }), null, origin);
  for (const origin of ['https://app.example/', 'http://127.0.0.1:5174', 'null', '']) {
    assert.equal(policy.refuseUpgrade({ ...ok, origin }).status, 403, origin);
  }
  assert.equal(policy.refuseUpgrade({ host: 'attacker.example' }).status, 403);
  // The page answers its own origin only; a listed origin may publish, not read the page.
  assert.equal(policy.refusePage({ ...ok, origin: 'http://127.0.0.1:17480' }), null);
  assert.equal(policy.refusePage({ ...ok, origin: 'https://app.example' }).status, 403);
  assert.equal(policy.refusePage({ host: 'attacker.example:17480' }).status, 403);
  assert.ok(policy.isOwnPage('http://localhost:17480') && !policy.isOwnPage('https://app.example'));

  const token = access.makeToken();
  assert.match(token, /^[0-9a-f]{64}$/);
  assert.notEqual(token, access.makeToken());
  assert.ok(access.tokenMatches(token, token));
  for (const wrong of [undefined, null, 1, '', token.slice(1), token + 'a', token.toUpperCase(), [token]]) {
    assert.ok(!access.tokenMatches(token, wrong), String(wrong));
  }
  const nonce = 'ab'.repeat(16);
  const shown = { type: 'hello', nonce, proof: access.messageProof(token, 'hello', nonce) };
  assert.ok(access.holdsSecret(token, shown) && access.holdsSecret(token, { token }));
  assert.notEqual(access.readyProof(token, nonce), shown.proof, 'the answer is not the question');
  const other = 'ef'.repeat(16);
  // A proof is good once, and only for the type it was made for.
  for (const wrong of [shown, { nonce }, { ...shown, nonce: 'cd'.repeat(16) }, { ...shown, nonce: nonce.toUpperCase() },
    { type: 'hello', nonce: 'ab', proof: access.messageProof(token, 'hello', 'ab') }, { ...shown, proof: access.messageProof(access.makeToken(), 'hello', nonce) },
    { type: 'shutdown', nonce: other, proof: access.messageProof(token, 'hello', other) }, { nonce: other, proof: access.messageProof(token, 'undefined', other) }, {}]) {
    assert.ok(!access.holdsSecret(token, wrong), JSON.stringify(wrong));
  }
});
