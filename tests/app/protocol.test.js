'use strict';
// The bridge's protocol logic on its own, in this machine's node: the frame parser at
// every split point, the door's decisions, the first message of a session, the settings
// and the state file. The same code runs in the bridge runtime; bridge.test.js drives it
// whole over sockets, and the Wine tests in the real runtime.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const app = path.join(__dirname, '..', '..', 'app', 'src');
const ws = require(path.join(app, 'frame-parser'));
const access = require(path.join(app, 'access'));
const { createSession, createSlot } = require(path.join(app, 'session'));
const { readSettings } = require(path.join(app, 'settings'));
const stateFile = require(path.join(app, 'state-file'));
const { maskedFrame } = require('../rig/clients');

// A parser whose messages land in buffers of `limit` bytes; returns what it saw. With
// `direct`, it is read as the bridge's socket reads it: each read of at most `direct`
// bytes lands in the parser's direct target when it offers one.
function parse(chunks, limit = 1 << 20, direct = 0) {
  const seen = [];
  const parser = ws.createFrameParser({
    unmask: ws.unmaskInJs,
    beginMessage: (opcode, length, fin) => Buffer.alloc(limit),
    endMessage: (opcode, buffer, length) => seen.push([opcode, Buffer.from(buffer.subarray(0, length)).toString('hex')]),
    control: (opcode, payload) => seen.push([opcode, Buffer.from(payload).toString('hex')]),
  });
  if (!direct) {
    for (const chunk of chunks) parser.push(chunk);
    return seen;
  }
  const stream = Buffer.concat(chunks);
  for (let at = 0; at < stream.length;) {
    const target = parser.directTarget();
    const count = Math.min(direct, stream.length - at, target ? target.length : Infinity);
    if (target) {
      stream.copy(target, 0, at, at + count);
      parser.directArrived(count);
    } else {
      parser.push(stream.subarray(at, at + count));
    }
    at += count;
  }
  return seen;
}

function violation(bytes, limit) {
  try {
    parse([bytes], limit);
  } catch (error) {
    return [error.closeCode, error.message];
  }
  return null;
}

test('frame parser: the same messages whatever the split, with controls between fragments', () => {
  const payload = crypto.randomBytes(70000);
  const stream = Buffer.concat([
    maskedFrame(2, payload.subarray(0, 3), { fin: false }),
    maskedFrame(9, Buffer.from('ping')),
    maskedFrame(0, payload.subarray(3, 200), { fin: false }),
    maskedFrame(0, payload.subarray(200)),
    maskedFrame(1, Buffer.from('{"type":"stats"}')),
    maskedFrame(2, Buffer.alloc(0)),
  ]);
  const whole = parse([stream]);
  assert.deepEqual(whole.map(([op]) => op), [9, 2, 1, 2]);
  assert.equal(whole[1][1], payload.toString('hex'));
  for (let cut = 1; cut < 400; cut++) assert.deepEqual(parse([stream.subarray(0, cut), stream.subarray(cut)]), whole);
  const bytes = [];
  for (let i = 0; i < stream.length; i += 997) bytes.push(stream.subarray(i, i + 997));
  assert.deepEqual(parse(bytes), whole);
  // Reads straight into the frame buffers, never past a frame, whatever their size.
  for (const size of [1, 2, 7, 130, 4096, 1 << 20]) assert.deepEqual(parse([stream], 1 << 20, size), whole, String(size));
});

test('frame parser: violations and limits close with their codes', () => {
  assert.deepEqual(violation(maskedFrame(1, Buffer.from('x'), { mask: false })), [1002, 'client frames must be masked']);
  assert.equal(violation(maskedFrame(9, Buffer.alloc(126)))[0], 1002);
  assert.equal(violation(maskedFrame(0, Buffer.from('x')))[0], 1002);
  assert.throws(() => ws.parseClosePayload(Buffer.from([0x03, 0xed])), { code: 'protocol_error', closeCode: 1002 });
  assert.throws(() => ws.parseClosePayload(Buffer.from([0x03, 0xe8, 0xff])), { closeCode: 1007 });
  assert.deepEqual(ws.parseClosePayload(Buffer.from([0x0f, 0xa0, 0x68, 0x69])), { code: 4000, reason: 'hi' });
  // Fragments that together pass the limit are stopped at the one that passes it.
  const over = Buffer.concat([maskedFrame(2, Buffer.alloc(60), { fin: false }), maskedFrame(0, Buffer.alloc(5), { fin: false })]);
  assert.deepEqual(violation(over, 64), [1009, 'message too big: the limit is 64 bytes']);
});

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

test('settings: files below the environment, bad files left out with a reason, bad environment refused', () => {
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
    write(user, bad);
    read = readSettings(env);
    assert.deepEqual(read.problems.map((p) => p.file), [path.join(user, 'settings.json')], bad.slice(0, 40));
    assert.match(read.problems[0].reason, reason);
    assert.equal(read.port, 18000, 'the bad file is left out whole');
  }
  for (const [name, value] of [['KESTOVAR_BRIDGE_ORIGINS', 'null'], ['KESTOVAR_BRIDGE_ORIGINS', 'https://a.example,'],
    ['KESTOVAR_BRIDGE_PORT', '65536'], ['KESTOVAR_BRIDGE_HEAD_TIMEOUT_MS', 'soon']]) {
    assert.throws(() => readSettings({ ...env, [name]: value }), (error) => error.fields.name === name, `${name}=${value}`);
  }
  fs.rmSync(root, { recursive: true });
});

// A session over a recording addon: what a first message starts, and what it refuses.
function session({ slotFree = true } = {}) {
  const calls = [];
  const replies = [];
  const refused = [];
  const ndi = {
    isAvailable: () => true,
    isRunning: () => false,
    start: (...args) => (calls.push(['start', ...args]), true),
    sendFrame: () => (calls.push(['sendFrame']), true),
    stop: () => calls.push(['stop']),
  };
  const slot = createSlot();
  if (!slotFree) slot.claim({});
  const connection = { peer: 'p', reply: (m) => replies.push(m), closeWith: (code) => calls.push(['close', code]) };
  const s = createSession(connection, {
    ndi, token: 'secret', stopKey: 'key', slot, figures: () => ({}),
    stop: () => calls.push(['shutdown']), frameRefused: () => refused.push(1),
  });
  const text = (object) => {
    const bytes = Buffer.from(typeof object === 'string' ? object : JSON.stringify(object));
    const target = s.beginMessage(ws.OPCODE.TEXT, bytes.length, true);
    bytes.copy(target);
    try {
      s.endMessage(ws.OPCODE.TEXT, target, bytes.length);
    } catch (error) {
      return [error.closeCode, error.code];
    }
    return null;
  };
  return { s, calls, replies, refused, text };
}

test('session: the token before anything, then a hello or a stop request', () => {
  const hello = { token: 'secret', source: 'S', width: 4, height: 2, fpsN: 30, format: 'UYVY' };
  for (const token of [undefined, 'secreT', 'secret ']) {
    const { calls, text } = session();
    assert.deepEqual(text({ ...hello, token }), [1008, 'bad_token']);
    assert.deepEqual(text({ type: 'shutdown', token }), [1008, 'bad_token']);
    assert.deepEqual(calls, []);
  }
  assert.deepEqual(session().text('{"token":'), [1007, 'bad_hello']);
  assert.deepEqual(session().text([1]), [1008, 'bad_hello']);
  assert.deepEqual(session().text({ ...hello, width: 3 }), [1008, 'bad_hello']);
  assert.deepEqual(session({ slotFree: false }).text(hello), [1013, 'busy']);

  const stop = session();
  assert.equal(stop.text({ type: 'shutdown', token: 'secret' }), null);
  assert.deepEqual(stop.calls, [['shutdown']]);
  // A nonce and its proof stand for the token, and the bridge proves the token back.
  const nonce = '0f'.repeat(16);
  const identifyProof = access.messageProof('secret', 'identify', nonce);
  assert.deepEqual(session().text({ type: 'identify', nonce, proof: access.messageProof('secreT', 'identify', nonce) }), [1008, 'bad_token']);
  const identify = session();
  assert.equal(identify.text({ type: 'identify', nonce, proof: identifyProof }), null);
  assert.deepEqual(identify.replies, [{ type: 'identity', pid: process.pid, proof: access.readyProof('secret', nonce) }]);
  // An identify's nonce and proof, caught and sent again as a hello, open nothing.
  assert.deepEqual(session().text({ ...hello, type: 'hello', token: undefined, nonce, proof: identifyProof }), [1008, 'bad_token']);
  const proven = session();
  const helloNonce = '1e'.repeat(16);
  assert.equal(proven.text({ ...hello, type: 'hello', token: undefined, nonce: helloNonce, proof: access.messageProof('secret', 'hello', helloNonce) }), null);
  assert.equal(proven.replies[0].proof, access.readyProof('secret', helloNonce));

  const { s, calls, replies, refused, text } = session();
  assert.equal(text(hello), null);
  assert.deepEqual(calls, [['start', 'S', 4, 2, 30, 1, 'UYVY']]);
  assert.equal(replies[0].frameBytes, 16);
  assert.throws(() => s.beginMessage(ws.OPCODE.BINARY, 17, true), { closeCode: 1009, code: 'wrong_frame_size' });
  assert.throws(() => s.beginMessage(ws.OPCODE.BINARY, 15, true), { closeCode: 1008, code: 'wrong_frame_size' });
  assert.equal(refused.length, 2, 'refused frames are counted for the status page');
  // Frames alternate between two buffers: the one the runtime may still read is never
  // the next one written.
  const buffers = [0, 1, 2].map(() => {
    const b = s.beginMessage(ws.OPCODE.BINARY, 16, true);
    s.endMessage(ws.OPCODE.BINARY, b, 16);
    return b;
  });
  assert.notEqual(buffers[0], buffers[1]);
  assert.equal(buffers[0], buffers[2]);
  assert.equal(text({ type: 'stats' }), null);
  assert.equal(replies.at(-1).frames, 3);
  assert.deepEqual(text({ type: 'hello', ...hello }), [1008, 'protocol_error']);
});

test('state file: written whole, read back, removed only by its own bridge', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-state-'));
  assert.equal(stateFile.readState(dir), null);
  const state = { port: 17480, pid: 4242, token: 'a'.repeat(64), started: new Date().toISOString() };
  stateFile.writeState(path.join(dir, 'new', 'sub'), state);
  assert.deepEqual(stateFile.readState(path.join(dir, 'new', 'sub')), state);
  assert.deepEqual(fs.readdirSync(path.join(dir, 'new', 'sub')), ['bridge.json']);
  assert.equal(stateFile.removeOwnState(path.join(dir, 'new', 'sub'), 4343), false);
  assert.equal(stateFile.removeOwnState(path.join(dir, 'new', 'sub'), 4242), true);
  for (const bad of ['{', '[]', '{"port":0,"pid":1,"token":"t"}', '{"port":1,"pid":"1","token":"t"}']) {
    fs.writeFileSync(path.join(dir, 'bridge.json'), bad);
    assert.equal(stateFile.readState(dir), null, bad);
  }
  assert.equal(stateFile.stateDirectory({ KESTOVAR_BRIDGE_STATE_DIR: 'X', LOCALAPPDATA: 'L' }), 'X');
  assert.equal(stateFile.stateDirectory({ LOCALAPPDATA: 'L' }), path.join('L', 'Tarnwell', 'Kestovar Output Bridge'));
  assert.equal(stateFile.stateDirectory({}), null);
  fs.rmSync(dir, { recursive: true });
});

test('log: the launcher\'s log, when it is the output, is rotated by size while the bridge runs, and no record is lost', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-log-'));
  t.after(() => fs.rmSync(dir, { recursive: true }));
  const file = path.join(dir, 'bridge.log');
  const previousFile = path.join(dir, 'bridge.previous.log');
  const run = (body) => {
    fs.writeFileSync(file, '[2026-12-07T10:00:00] launcher pid=1 child=2\r\n');
    const script = `const log = require(${JSON.stringify(path.join(app, 'log'))});
      const tick = (n) => log.logEvent('tick', { n, pad: 'x'.repeat(50) });
      log.logEvent('server_start');
      if (!log.rotateWhenLarge(process.argv[1], 1000)) process.exit(3);
      ${body}`;
    const fd = fs.openSync(file, 'a');
    const child = require('node:child_process').spawnSync(process.execPath, ['-e', script, file], { stdio: ['ignore', fd, 'inherit'] });
    fs.closeSync(fd);
    return { status: child.status, current: fs.readFileSync(file, 'utf8'), previous: fs.readFileSync(previousFile, 'utf8') };
  };
  const ticks = (text) => [...text.matchAll(/ tick n=(\d+) /g)].map((m) => Number(m[1]));

  const plain = run('for (let n = 0; n < 30; n++) tick(n);');
  assert.equal(plain.status, 0);
  assert.ok(plain.previous.length > 1000 && plain.current.length <= 1000 + 120);
  assert.match(plain.current, /tick n=29 /);
  assert.ok(!plain.previous.includes('tick n=29 ') && !plain.current.includes('tick n=0 '), 'each record once, in order');

  // A later launcher start moves the log aside while the bridge writes: the bridge goes on
  // in the new file, and its own rotation does not overwrite the records moved aside.
  const moved = run(`for (let n = 0; n < 4; n++) tick(n);
      require('node:fs').renameSync(process.argv[1], process.argv[1].replace('bridge.log', 'bridge.previous.log'));
      require('node:fs').writeFileSync(process.argv[1], '[2026-12-07T10:00:01] launcher pid=3 child=4\\r\\n');
      for (let n = 4; n < 12; n++) tick(n);`);
  assert.equal(moved.status, 0);
  assert.deepEqual([...ticks(moved.previous), ...ticks(moved.current)], [...Array(12).keys()]);
  assert.match(moved.current, /launcher pid=3 child=4/);

  // The runtime watch thread writes where the bridge writes now, past two rotations.
  const stuck = run(`for (let n = 0; n < 20; n++) tick(n);
      const { watchRuntime } = require(${JSON.stringify(path.join(app, 'runtime-watchdog'))});
      const ndi = watchRuntime({ start: () => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 5000) }, { stateDir: null, limitMs: 200 });
      ndi.start();`);
  assert.equal(stuck.status, 20);
  assert.match(stuck.current, /runtime_stuck call=start waited_ms=200 exit_code=20 /);
});

test('hello rules: the client library refuses exactly what the bridge refuses, with the same words', async () => {
  const { checkHello } = await import('../../client/index.mjs');
  const { validateHello } = require(path.join(app, 'session'));
  const { createRandom } = require('../rig/random');
  const next = createRandom(20261207);
  const pick = (list) => list[next() % list.length];
  const numbers = [undefined, null, 0, 1, 2, 3, 1.5, -2, 31, 32, 4320, 4321, 7680, 8192, 8193, 1e6, 1e6 + 1, NaN, Infinity, '32'];
  const sources = [undefined, '', 'a', 'x'.repeat(200), 'x'.repeat(201), 'a\u0000b', 'a\u007fb', 'a\u0080b', 'Bühne 1 – ✓', 42];
  const formats = [undefined, 'RGBA', 'UYVY', 'rgba', ''];
  let accepted = 0;
  for (let i = 0; i < 20000; i++) {
    const hello = { source: pick(sources), width: pick(numbers), height: pick(numbers), fpsN: pick(numbers), format: pick(formats) };
    if (next() & 1) hello.fpsD = pick(numbers);
    const bridge = validateHello(hello).error ?? null;
    assert.equal(checkHello(hello), bridge, JSON.stringify(hello));
    if (bridge === null) accepted++;
  }
  assert.ok(accepted > 100, `${accepted} accepted: the table reaches both sides of every rule`);
});
