'use strict';
// The bridge whole, over real sockets, in this machine's node with a fake addon: every
// refusal of its door has its clear answer, nothing refused reaches the NDI runtime, the
// bounds hold (time, connections, replies, log), and it stops in order. The real runtime,
// addon and node.exe are the Wine tests' (door.test.js, chain.test.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const crypto = require('node:crypto');
const net = require('node:net');
const { execFile } = require('node:child_process');
const { createBridge } = require('../../app/src/bridge');
const log = require('../../app/src/log');
const { createFakeAddon, startFakeBridge } = require('../rig/fake-addon');
const rig = require('../rig/clients');
const { bridgeRecords, readText } = require('../rig/logs');
const { testFrame } = require('../rig/random');
const { waitFor, sleep } = require('../rig/wait');

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-bridge-'));
const logFile = path.join(work, 'bridge.log');
log.logTo(fs.openSync(logFile, 'a'));
const records = () => bridgeRecords(readText(logFile));
test.after(() => fs.rmSync(work, { recursive: true, force: true }));

const HELLO = { type: 'hello', source: 'door', width: 32, height: 16, fpsN: 30, format: 'RGBA' };
const FRAME_BYTES = 32 * 16 * 4;
let bridges = 0;

function start(env = {}, ndi) {
  return startFakeBridge(test, { KESTOVAR_BRIDGE_STATE_DIR: path.join(work, `state-${++bridges}`), ...env }, ndi);
}

// A good application: hello, two frames that reach the runtime exactly, a clean close.
async function assertStillServing({ port, ndi }) {
  const client = await rig.openSession(port, HELLO);
  const frames = [testFrame(FRAME_BYTES, ndi.frames.length), testFrame(FRAME_BYTES, ndi.frames.length + 1)];
  for (const frame of frames) await client.send(frame);
  client.socket.close(1000);
  assert.equal((await client.done).code, 1000);
  const sha1 = frames.map((f) => crypto.createHash('sha1').update(f).digest('hex'));
  await waitFor('the good frames', () => sha1.every((h) => ndi.frames.includes(h)), 5000);
}

// Sends what `send` sends after the opening handshake; returns the close and the error text.
async function refusal(port, send, options) {
  const client = rig.connect(port, options);
  await client.opened;
  await send(client);
  const closed = await client.done;
  return { ...closed, error: client.messages.find((m) => m.type === 'error') };
}

// First: what is logged once per interval is counted across the whole file.
test('what strangers cause is logged once per interval, clipped', async () => {
  const b = await start();
  const before = records().length;
  for (let i = 0; i < 50; i++) {
    const request = `POST /${'p'.repeat(8000)} HTTP/1.1\r\nHost: 127.0.0.1:${b.port}\r\nOrigin: http://evil.example\r\n\r\n`;
    await (await rig.rawConnect(b.port, { request })).closed(5000);
    await (await rig.rawConnect(b.port, { request: 'nonsense\r\n\r\n' })).closed(5000);
  }
  // WebSocket connections that close at once, with a long reason or a wrong token.
  const longClose = rig.maskedFrame(8, Buffer.concat([Buffer.from([0x03, 0xe8]), Buffer.from('r'.repeat(120))]));
  const wrongToken = rig.maskedFrame(1, Buffer.from(JSON.stringify({ ...HELLO, token: 'f'.repeat(64) })));
  for (let i = 0; i < 50; i++) {
    for (const bytes of [longClose, wrongToken]) {
      const quitter = await rig.rawConnect(b.port);
      await quitter.write(bytes);
      await quitter.closed(5000);
    }
  }
  const logged = records().slice(before);
  assert.deepEqual(logged.map((r) => r.event).sort(), ['client_close', 'client_closed', 'handshake_refused', 'page_refused']);
  const page = logged.find((r) => r.event === 'page_refused');
  assert.equal(page.path.length, 103);
  assert.equal(logged.find((r) => r.event === 'client_close').reason.length, 103);
  assert.ok(fs.statSync(logFile).size < 100000);
  // The user's own application keeps every record.
  await assertStillServing(b);
  const own = records().slice(before + logged.length).map((r) => r.event);
  assert.deepEqual(own.filter((e) => e.startsWith('client_')), ['client_connected', 'client_close']);
});

test('bad hellos, frames and framing are refused with their codes; the bridge keeps serving', async (t) => {
  const b = await start();
  const hello = { ...HELLO, token: b.token };
  const afterHello = (then) => async (c) => {
    await c.send(JSON.stringify(hello));
    await c.nextMessage((m) => m.type === 'ready');
    await then(c);
  };
  const cases = [
    [(c) => c.send('{"source": "x", width'), 1007, 'bad_hello', /hello is not valid JSON/],
    [(c) => c.send(Buffer.from([0x7b, 0xff, 0xfe, 0x7d]), { binary: false }), 1007, 'protocol_error', /not valid UTF-8/],
    ...[[[1, 2, 3], /must be a JSON object/], [{ ...hello, source: '' }, /source must be/],
      [{ ...hello, source: 'a\u0000b' }, /source must be/], [{ ...hello, width: 1 }, /width and height/],
      [{ ...hello, height: 1080.5 }, /width and height/], [{ ...hello, width: '1920' }, /width and height/],
      [{ ...hello, width: 8192, height: 8192 }, /larger than 7680x4320/], [{ ...hello, fpsN: 0 }, /fpsN and fpsD/],
      [{ ...hello, fpsD: -1 }, /fpsN and fpsD/], [{ ...hello, format: 'rgba' }, /format must be/],
      [{ ...hello, format: 'UYVY', width: 31 }, /even width/], [{ ...hello, type: 'frame' }, /expected a hello/],
    ].map(([bad, reason]) => [(c) => c.send(JSON.stringify(bad)), 1008, 'bad_hello', reason]),
    [(c) => c.send(Buffer.alloc(FRAME_BYTES)), 1008, 'bad_hello', /hello before any frame/],
    [afterHello((c) => c.send(Buffer.alloc(FRAME_BYTES - 1))), 1008, 'wrong_frame_size',
      new RegExp(`a frame is ${FRAME_BYTES} bytes, this message is ${FRAME_BYTES - 1}`)],
    [afterHello(async (c) => {
      await c.send(Buffer.alloc(1000), { fin: false });
      await c.send(Buffer.alloc(1000), { fin: true });
    }), 1008, 'wrong_frame_size', /this message is 2000/],
    [afterHello((c) => c.send(Buffer.alloc(FRAME_BYTES + 1))), 1009, 'wrong_frame_size', /message too big/],
    [afterHello(async (c) => {
      await c.send(Buffer.alloc(FRAME_BYTES - 10), { fin: false });
      await c.send(Buffer.alloc(11), { fin: false });
    }), 1009, 'protocol_error', new RegExp(`limit is ${FRAME_BYTES} bytes`)],
    [afterHello((c) => c.send('{"type":"frame"}')), 1008, 'protocol_error', /only binary frames/],
    [(c) => c.send('x'.repeat(70000)), 1009, 'protocol_error', /text message too big/],
  ];
  for (const [send, code, id, reason] of cases) {
    await t.test(`${code} ${id}: ${reason.source}`, async () => {
      const refused = await refusal(b.port, send);
      assert.deepEqual([refused.code, refused.error.error], [code, id], refused.reason);
      assert.match(refused.reason, reason);
    });
  }
  // Raw bytes: a 2^40-byte claim is answered from its header alone; framing violations get 1002.
  const claim = await rig.rawConnect(b.port);
  await claim.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(hello))));
  await claim.write(Buffer.from([0x82, 0xff, 0, 0, 1, 0, 0, 0, 0, 0, 1, 2, 3, 4, ...Buffer.alloc(16)]));
  assert.match((await claim.closed(5000)).frames.find((f) => f.opcode === 8).reason, /this message is 1099511627776/);
  const violations = [
    [rig.maskedFrame(1, Buffer.from('{}'), { mask: false }), /must be masked/],
    [rig.maskedFrame(1, Buffer.from('{}'), { rsv: 4 }), /reserved bits/],
    [rig.maskedFrame(3, Buffer.from('x')), /unknown data opcode 3/],
    [rig.maskedFrame(0xb, Buffer.from('x')), /unknown control opcode 11/],
    [rig.maskedFrame(0, Buffer.from('x')), /continuation frame without a message/],
    [rig.maskedFrame(9, Buffer.from('x'), { fin: false }), /control frames must not be fragmented/],
    [rig.maskedFrame(9, Buffer.alloc(126)), /over 125 bytes/],
    [Buffer.from([0x82, 0xff, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4]), /top bit set/],
    [rig.maskedFrame(8, Buffer.from([0x03, 0xe7])), /invalid close code 999/],
    [Buffer.concat([rig.maskedFrame(1, Buffer.from('{'), { fin: false }), rig.maskedFrame(1, Buffer.from('}'))]), /new message before/],
  ];
  for (const [bytes, reason] of violations) {
    await t.test(`1002: ${reason.source}`, async () => {
      const client = await rig.rawConnect(b.port);
      await client.write(bytes);
      const close = (await client.closed(5000)).frames.find((f) => f.opcode === 8);
      assert.deepEqual([close.code, reason.test(close.reason)], [1002, true], close.reason);
    });
  }
  // A ping is answered with its payload, a client's close is echoed.
  const polite = await rig.rawConnect(b.port);
  await polite.write(rig.maskedFrame(9, Buffer.from('are you there')));
  await polite.write(rig.maskedFrame(8, Buffer.from([0x0f, 0xa0, 0x62, 0x79, 0x65])));
  const { frames } = await polite.closed(5000);
  assert.deepEqual([frames[0].opcode, frames[0].payload.toString(), frames[1].code], [10, 'are you there', 4000]);
  assert.deepEqual(b.ndi.frames, [], 'no refused frame reached the runtime');
  await assertStillServing(b);
});

test('plain requests, refused handshakes and foreign origins get an HTTP answer', async () => {
  const b = await start({ KESTOVAR_BRIDGE_ORIGINS: 'http://127.0.0.1:5173' });
  const key = 'dGhlIHNhbXBsZSBub25jZQ==';
  const upgrade = (host, more = '') => `GET / HTTP/1.1\r\nHost: ${host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
    `Sec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n${more}\r\n`;
  const here = `127.0.0.1:${b.port}`;
  const cases = [
    [`GET /other HTTP/1.1\r\nHost: ${here}\r\n\r\n`, 404, /not found/],
    [`POST / HTTP/1.1\r\nHost: ${here}\r\n\r\n`, 405, /only GET/],
    [`POST / HTTP/1.1\r\nHost: ${here}\r\nUpgrade: websocket\r\n\r\n`, 405, /only GET opens/],
    [upgrade(here).replace('Version: 13', 'Version: 8'), 426, /version 13/],
    [upgrade(here).replace(key, 'abc'), 400, /Sec-WebSocket-Key/],
    [upgrade('attacker.example:80'), 403, /loopback/],
    [upgrade(here, 'Origin: http://127.0.0.1:5174\r\n'), 403, /origin not allowed/],
    [upgrade(here, 'Origin: null\r\n'), 403, /origin not allowed/],
    [`GET /status.json HTTP/1.1\r\nHost: ${here}\r\nOrigin: http://127.0.0.1:5173\r\n\r\n`, 403, /only its own origin/],
    [upgrade(here, `X-Filler: ${'a'.repeat(9000)}\r\n`), 431, /over 8 KiB/],
    ['hello there\r\n\r\n', 400, /malformed request line/],
  ];
  for (const [request, status, body] of cases) {
    const answer = await (await rig.rawConnect(b.port, { request })).closed(5000);
    assert.equal(answer.status, status, answer.head);
    assert.match(answer.body, body);
  }
  // The sample key of RFC 6455 gets the sample answer; a listed origin is let in.
  const sample = await rig.rawConnect(b.port, { request: upgrade(here, 'Origin: http://127.0.0.1:5173\r\n') });
  await sample.until('the upgrade', () => (sample.text().includes('\r\n\r\n') ? true : undefined));
  assert.ok(sample.text().includes('Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n'));
  // Without a hello it holds no slot.
  await assertStillServing(b);
  sample.socket.destroy();
});

test('only the token or its proof opens a session; the bridge proves the token back; one application at a time', async () => {
  const b = await start();
  const app = await rig.openSession(b.port, HELLO);
  for (const token of [undefined, '', 'f'.repeat(64), b.token.slice(0, 63), b.token + '0', 42]) {
    const refused = await refusal(b.port, (c) => c.send(JSON.stringify({ ...HELLO, token })));
    assert.deepEqual([refused.code, refused.error.error], [1008, 'bad_token'], String(token));
  }
  const stopAttempt = await refusal(b.port, (c) => c.send(JSON.stringify({ type: 'shutdown', token: 'nope' })));
  assert.deepEqual([stopAttempt.code, stopAttempt.error.error], [1008, 'bad_token']);
  const busy = await refusal(b.port, (c) => c.send(JSON.stringify({ ...HELLO, token: b.token })));
  assert.deepEqual([busy.code, busy.error.error], [1013, 'busy']);
  app.socket.close(1000);
  await app.done;
  // Proven without the token, with a nonce: ready carries the bridge's proof.
  const { messageProof, readyProof } = require('../../app/src/access');
  const nonce = crypto.randomBytes(16).toString('hex');
  const provenHello = { ...HELLO, token: undefined, nonce, proof: messageProof(b.token, 'hello', nonce) };
  const proven = await rig.openSession(b.port, provenHello);
  assert.equal(proven.ready.proof, readyProof(b.token, nonce));
  proven.socket.close(1000);
  await proven.done;
  // The same hello again, once its session has ended, is a replay.
  const replayed = await refusal(b.port, (c) => c.send(JSON.stringify(provenHello)));
  assert.deepEqual([replayed.code, replayed.error.error], [1008, 'bad_token']);
  // Who answers on the port of a state file, for a second start and the stop tool.
  const { identifyBridge } = require('../../app/src/bridge-client');
  const other = net.createServer((socket) => socket.end('HTTP/1.1 200 OK\r\n\r\nhello')).listen(0, '127.0.0.1');
  await new Promise((resolve) => other.once('listening', resolve));
  assert.deepEqual(await Promise.all([identifyBridge(b.state), identifyBridge({ ...b.state, token: 'a'.repeat(64) }),
    identifyBridge({ ...b.state, port: other.address().port }), identifyBridge({ ...b.state, pid: 1 })]),
  ['bridge', 'bad_token', 'not_a_bridge', 'not_a_bridge']);
  other.close();
  assert.equal(await identifyBridge({ ...b.state, port: await rig.freePort() }), 'no_answer');
  assert.deepEqual(b.ndi.calls.filter((c) => c[0] === 'start').length, 2, 'two sessions, both the application\'s');
});

test('connections waiting for their token: idle sockets never lock an application out', async () => {
  const b = await start({ KESTOVAR_BRIDGE_HEAD_TIMEOUT_MS: '1500', KESTOVAR_BRIDGE_HELLO_TIMEOUT_MS: '2500' });
  const idle = [];
  for (let i = 0; i < 16; i++) idle.push(await rig.rawConnect(b.port, { handshake: false }));
  const before = Date.now();
  const app = await rig.openSession(b.port, HELLO);
  assert.ok(Date.now() - before < 3000, 'ready within 3 s');
  await waitFor('the oldest idle socket to be dropped', () => idle[0].ended(), 3000);
  assert.equal(idle[15].ended(), false, 'the newest stays');
  assert.ok(records().some((r) => r.event === 'connections_dropped'));
  // A head that never comes is answered after its own short deadline, a hello after its own.
  assert.equal((await idle[15].closed(5000)).status, 408);
  const quiet = await rig.rawConnect(b.port);
  const close = (await quiet.closed(5000)).frames.find((f) => f.opcode === 8);
  assert.deepEqual([close.code, close.reason], [1008, 'no hello within 2500 ms']);
  assert.equal(app.socket.readyState, 1);
  app.socket.close(1000);
  for (const socket of idle) socket.socket.destroy();
});

test('liveness and replies are bounded: silent and flooding applications are let go', async () => {
  const b = await start({ KESTOVAR_BRIDGE_PING_INTERVAL_MS: '100', KESTOVAR_BRIDGE_PING_TIMEOUT_MS: '600' });
  const silent = await rig.rawConnect(b.port);
  await silent.write(rig.maskedFrame(1, Buffer.from(JSON.stringify({ ...HELLO, token: b.token }))));
  const silentClose = (await silent.closed(5000)).frames.find((f) => f.opcode === 8);
  assert.match(silentClose.reason, /no answer for 600 ms/);
  assert.deepEqual(b.ndi.calls.at(-1), ['stop'], 'its sender was stopped');
  const patient = await rig.openSession(b.port, HELLO);
  await sleep(1200);
  assert.equal(patient.socket.readyState, 1, 'a client that answers pings (ws does) stays');
  patient.socket.close(1000);
  await patient.done;

  const flood = await rig.rawConnect(b.port);
  await flood.write(rig.maskedFrame(1, Buffer.from(JSON.stringify({ ...HELLO, token: b.token }))));
  await flood.until('ready', () => (flood.text().includes('"ready"') ? true : undefined));
  flood.socket.pause();
  const ping = rig.maskedFrame(9, Buffer.alloc(125, 1));
  flood.socket.write(Buffer.concat(Array.from({ length: 100000 }, () => ping)));
  await waitFor('the flood to be cut off', () =>
    records().some((r) => r.event === 'client_closed' && r.code === '1008' && /replies waiting/.test(r.reason)), 10000);
  flood.socket.destroy();
  // Gone mid-frame: the sender is stopped and the slot is free again.
  const gone = await rig.openSession(b.port, HELLO);
  await gone.send(Buffer.alloc(1000), { fin: false });
  gone.socket.terminate();
  await waitFor('the session to end', () => records().some((r) => r.event === 'session_end' && r.reason === 'connection lost'), 5000);
  await assertStillServing(b);
});

test('the stop request ends the bridge in order; only the page stops it with the stop key', async () => {
  const b = await start();
  const page = fs.readFileSync(path.join(__dirname, '../../app/src/status-page/index.html'), 'utf8');
  assert.ok(page.includes('%STOP_KEY%'));
  const html = await fetch(`http://127.0.0.1:${b.port}/`).then((response) => response.text());
  const stopKey = /<meta name="stop-key" content="([0-9a-f]{64})">/.exec(html)[1];
  // The stop key is no token, and it stops nothing from anywhere but the page's origin.
  assert.equal((await refusal(b.port, (c) => c.send(JSON.stringify({ ...HELLO, token: stopKey })))).error.error, 'bad_token');
  assert.equal((await refusal(b.port, (c) => c.send(JSON.stringify({ type: 'shutdown', token: stopKey })))).error.error, 'bad_token');

  // A second bridge process with the same state finds this one and leaves it alone.
  const second = await new Promise((resolve) => execFile(process.execPath, ['-e', `
    const { createBridge } = require(${JSON.stringify(require.resolve('../../app/src/bridge'))});
    const { createFakeAddon } = require(${JSON.stringify(require.resolve('../rig/fake-addon'))});
    createBridge({ ndi: createFakeAddon(), env: { KESTOVAR_BRIDGE_PORT: '0', KESTOVAR_BRIDGE_STATE_DIR: process.argv[1] } })
      .closed.then(({ exitCode }) => process.exit(exitCode));`, b.stateDir], { timeout: 10000 },
    (error, stdout, stderr) => resolve({ status: error ? error.code : 0, stdout, stderr })));
  assert.equal(second.status, 0, second.stderr);
  assert.match(second.stdout, / already_running pid=\d+ port=\d+/);
  assert.equal(JSON.parse(fs.readFileSync(path.join(b.stateDir, 'bridge.json'))).token, b.token);

  const app = await rig.openSession(b.port, HELLO);
  const requester = rig.connect(b.port, { origin: `http://localhost:${b.port}` });
  await requester.opened;
  await requester.send(JSON.stringify({ type: 'shutdown', token: stopKey }));
  assert.equal((await app.done).code, 1001);
  assert.equal((await requester.done).code, 1000);
  assert.deepEqual(await b.bridge.closed, { exitCode: 0 });
  assert.equal(fs.existsSync(path.join(b.stateDir, 'bridge.json')), false);
  assert.deepEqual(b.ndi.calls.filter((c) => c[0] === 'stop').length, 1);
  assert.equal(records().filter((r) => r.event === 'shutdown').at(-1).reason, 'request');
});

test('a start that cannot listen says why: another program on the port, a bad setting', async () => {
  const holder = net.createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => holder.once('listening', resolve));
  const env = { KESTOVAR_BRIDGE_PORT: String(holder.address().port), KESTOVAR_BRIDGE_STATE_DIR: path.join(work, 'taken') };
  const taken = createBridge({ ndi: createFakeAddon(), env });
  await assert.rejects(taken.listening, /EADDRINUSE/);
  assert.deepEqual(await taken.closed, { exitCode: 3 });
  assert.equal(records().at(-1).event, 'port_in_use');
  holder.close();
  const bad = createBridge({ ndi: createFakeAddon(), env: { KESTOVAR_BRIDGE_ORIGINS: 'null' } });
  assert.deepEqual(await bad.closed, { exitCode: 2 });
  assert.deepEqual([records().at(-1).event, records().at(-1).name], ['config_error', 'KESTOVAR_BRIDGE_ORIGINS']);
});

test('settings files: an origin listed only there publishes; a malformed file keeps the door closed and says why', async () => {
  const page = 'https://studio.example';
  const settingsDir = path.join(work, 'settings');
  fs.mkdirSync(settingsDir);
  fs.writeFileSync(path.join(settingsDir, 'settings.json'), JSON.stringify({ origins: [page] }));
  const listed = await start({ KESTOVAR_BRIDGE_STATE_DIR: settingsDir });
  const client = await rig.openSession(listed.port, HELLO, { origin: page });
  const frame = testFrame(FRAME_BYTES, 99);
  await client.send(frame);
  await waitFor('the page\'s frame', () => listed.ndi.frames.includes(crypto.createHash('sha1').update(frame).digest('hex')), 5000);
  client.socket.close(1000);
  await client.done;
  listed.bridge.stop();
  await listed.bridge.closed;

  fs.writeFileSync(path.join(settingsDir, 'settings.json'), JSON.stringify({ origins: [page, null] }));
  const closed = await start({ KESTOVAR_BRIDGE_STATE_DIR: settingsDir });
  await assert.rejects(rig.connect(closed.port, { origin: page }).opened, /Unexpected server response: 403/);
  const record = records().findLast((r) => r.event === 'settings_invalid');
  assert.deepEqual([record.file, /null in "origins"/.test(record.reason)], [path.join(settingsDir, 'settings.json'), true]);
  const status = await fetch(`http://127.0.0.1:${closed.port}/status.json`).then((r) => r.json());
  assert.deepEqual(status.bridge.settingsProblems.map((p) => p.file), [record.file]);
  assert.deepEqual(status.bridge.origins.map((o) => o.origin), [`http://127.0.0.1:${closed.port}`, `http://localhost:${closed.port}`]);
});

test('the monitor starts the bridge again only after an unexpected end, at once and then slower, and gives up on a loop', () => {
  const monitor = require('../../app/src/monitor');
  const ends = [
    // [exit code, served, stop requested, unexpected]
    [0xc0000005, true, false, true], [0xc0000005, false, false, true], // an access violation, served or not
    [1, true, false, true], // a kill (TerminateProcess and Task Manager end with 1)
    [20, true, false, true], // runtime_stuck while serving
    [20, true, true, false], // runtime_stuck while stopping on request
    [0, true, true, false], // a stop request
    // Refused before serving: already running, a bad setting, port_in_use.
    [0, false, false, false], [2, false, false, false], [3, false, false, false],
  ];
  for (const [code, served, stopRequested, unexpected] of ends) {
    assert.equal(monitor.isUnexpected({ code, served, stopRequested }), unexpected, `${monitor.exitCodeText(code)} ${served} ${stopRequested}`);
  }
  assert.deepEqual([0xc0000005, 20, 0xc000013a].map((code) => monitor.exitCodeText(code)), ['0xc0000005', '0x14', '0xc000013a']);

  const at = [1000, 2000, 3000, 4000, 5000];
  const steps = at.map((now, i) => monitor.nextStart(at.slice(0, i + 1), now));
  assert.deepEqual(steps.map((s) => (s.giveUp ? 'give up' : s.delayMs)), [0, 500, 1000, 2000, 'give up']);
  assert.equal(steps.at(-1).attempt, monitor.MAX_ENDS);
  // Ends older than the window no longer count: after a quiet minute a crash comes back at once.
  assert.deepEqual(monitor.nextStart([...at, at[4] + monitor.WINDOW_MS], at[4] + monitor.WINDOW_MS), { giveUp: false, attempt: 1, delayMs: 0 });
});
