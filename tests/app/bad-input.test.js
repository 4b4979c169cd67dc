'use strict';
// Bad input to the bridge server: each case gets its own clear answer (an HTTP status, or
// an error text and a close code with a reason), and the one bridge process keeps serving:
// after every bad client a good client still gets its frames to the NDI runtime.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('./rig');

const work = path.join(rig.BUILD_DIR, 'tests', 'app', 'work', `bad-input-${process.pid}`);
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });

const HELLO = { type: 'hello', source: 'bad input', width: 64, height: 32, fpsN: 30, format: 'RGBA' };
const FRAME_BYTES = 64 * 32 * 4;
let bridge;
let ndiLog;
let goodFrames = 0;

test.before(async () => {
  ({ bridge, ndiLog } = await rig.startStandinBridge({ dir: work }));
  HELLO.token = bridge.token;
});

test.after(async () => {
  if (bridge) await bridge.stop();
});

// A good client: hello, two frames that reach the runtime byte-exact, a clean close.
async function assertStillServing() {
  const client = await rig.openSession(bridge.port, HELLO);
  const frames = [rig.testFrame(FRAME_BYTES, ++goodFrames * 31), rig.testFrame(FRAME_BYTES, ++goodFrames * 31)];
  for (const frame of frames) await client.send(frame);
  client.socket.close(1000);
  assert.equal((await client.done).code, 1000);
  const wanted = frames.map((f) => rig.standin.fnv1a64(f));
  await rig.waitFor('the good frames', () => {
    const fnvs = ndiLog.all().filter((e) => e.event === 'send_video' && e.fnv !== 'null').map((e) => e.fnv);
    return wanted.every((w) => fnvs.includes(w));
  }, 30000);
  assert.equal(bridge.alive(), true);
}

// Sends a hello with the ws client and expects the error text and the close code.
async function expectRefusal(send, code, reasonPattern) {
  const client = rig.connect(bridge.port);
  await client.opened;
  await send(client);
  const { code: closeCode, reason } = await client.done;
  assert.equal(closeCode, code, reason);
  assert.match(reason, reasonPattern);
  const error = client.messages.find((m) => m.type === 'error');
  assert.ok(error, 'an error message precedes the close');
  assert.equal(error.code, code);
  await assertStillServing();
  return reason;
}

test('bad hellos are refused with the reason', async () => {
  await expectRefusal((c) => c.send('{"source": "x", width'), 1007, /hello is not valid JSON/);
  await expectRefusal((c) => c.send(Buffer.from([0x7b, 0xff, 0xfe, 0x7d]), { binary: false }), 1007, /not valid UTF-8/);
  const cases = [
    [[1, 2, 3], /must be a JSON object/],
    [{ ...HELLO, source: '' }, /source must be/],
    [{ ...HELLO, source: 'a\u0000b' }, /source must be/],
    [{ ...HELLO, width: 1 }, /width and height/],
    [{ ...HELLO, height: 1080.5 }, /width and height/],
    [{ ...HELLO, width: '1920' }, /width and height/],
    [{ ...HELLO, width: 8192, height: 8192 }, /larger than 7680x4320/],
    [{ ...HELLO, fpsN: 0 }, /fpsN and fpsD/],
    [{ ...HELLO, fpsD: -1 }, /fpsN and fpsD/],
    [{ ...HELLO, format: 'rgba' }, /format must be/],
    [{ ...HELLO, format: 'UYVY', width: 63 }, /even width/],
    [{ ...HELLO, type: 'frame' }, /expected a hello/],
  ];
  for (const [hello, pattern] of cases) {
    const reason = await expectRefusal((c) => c.send(JSON.stringify(hello)), 1008, pattern);
    assert.match(reason, /^bad hello: /);
  }
});

test('frames before the hello, of the wrong size, or too big are refused', async () => {
  await expectRefusal((c) => c.send(Buffer.alloc(FRAME_BYTES)), 1008, /hello before any frame/);
  const afterHello = (then) => async (c) => {
    await c.send(JSON.stringify(HELLO));
    await c.nextMessage((m) => m.type === 'ready');
    await then(c);
  };
  await expectRefusal(afterHello((c) => c.send(Buffer.alloc(FRAME_BYTES - 1))), 1008,
    new RegExp(`wrong frame size: a frame is ${FRAME_BYTES} bytes, this message is ${FRAME_BYTES - 1}`));
  // A fragmented frame that ends short: its size is only known at its end.
  await expectRefusal(afterHello(async (c) => {
    await c.send(Buffer.alloc(1000), { fin: false });
    await c.send(Buffer.alloc(1000), { fin: true });
  }), 1008, /wrong frame size: .* this message is 2000/);
  await expectRefusal(afterHello((c) => c.send(Buffer.alloc(FRAME_BYTES + 1))), 1009, /message too big/);
  // Fragments that together overrun a frame are stopped at the fragment that overruns.
  await expectRefusal(afterHello(async (c) => {
    await c.send(Buffer.alloc(FRAME_BYTES - 10), { fin: false });
    await c.send(Buffer.alloc(11), { fin: false });
  }), 1009, new RegExp(`limit is ${FRAME_BYTES} bytes`));
  await expectRefusal(afterHello((c) => c.send('{"type":"frame"}')), 1008, /only binary frames/);
  await expectRefusal((c) => c.send('x'.repeat(70000)), 1009, /text message too big/);
});

test('a message that claims 2^40 bytes is refused from its header, nothing allocated', async () => {
  const client = await rig.rawConnect(bridge.port);
  await client.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(HELLO))));
  await client.until('ready', () => (client.text().includes('"ready"') ? true : undefined));
  // Only the header and a few bytes: the claim alone must get the answer.
  await client.write(rig.maskedFrame(2, Buffer.alloc(16), { length: 2 ** 40 }).subarray(0, 14 + 16));
  const { frames } = await client.closed(10000);
  const close = frames.find((f) => f.opcode === 8);
  assert.equal(close.code, 1009);
  assert.match(close.reason, /message too big: a frame is 8192 bytes, this message is 1099511627776/);
  await assertStillServing();
});

test('protocol violations close with 1002', async () => {
  const cases = [
    ['unmasked', rig.maskedFrame(1, Buffer.from('{}'), { masked: false }), /must be masked/],
    ['reserved bit', rig.maskedFrame(1, Buffer.from('{}'), { rsv: 4 }), /reserved bits/],
    ['unknown opcode', rig.maskedFrame(3, Buffer.from('x')), /unknown data opcode 3/],
    ['unknown control', rig.maskedFrame(0xb, Buffer.from('x')), /unknown control opcode 11/],
    ['continuation first', rig.maskedFrame(0, Buffer.from('x')), /continuation frame without a message/],
    ['fragmented ping', rig.maskedFrame(9, Buffer.from('x'), { fin: false }), /control frames must not be fragmented/],
    ['long ping', rig.maskedFrame(9, Buffer.alloc(126)), /over 125 bytes/],
    ['top length bit', Buffer.from([0x82, 0xff, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4]), /top bit set/],
    ['bad close code', rig.maskedFrame(8, Buffer.from([0x03, 0xe7])), /invalid close code 999/],
    ['new message inside a fragmented one', Buffer.concat([
      rig.maskedFrame(1, Buffer.from('{'), { fin: false }), rig.maskedFrame(1, Buffer.from('}'))]), /new message before/],
  ];
  for (const [name, bytes, pattern] of cases) {
    const client = await rig.rawConnect(bridge.port);
    await client.write(bytes);
    const { status, frames } = await client.closed(10000);
    assert.equal(status, 101, name);
    const close = frames.find((f) => f.opcode === 8);
    assert.ok(close, `${name}: a close frame`);
    assert.equal(close.code, 1002, name);
    assert.match(close.reason, pattern, name);
  }
  await assertStillServing();
});

test('a second application is refused while one is connected, which goes on working', async () => {
  const first = await rig.openSession(bridge.port, HELLO);
  const second = rig.connect(bridge.port);
  await second.opened;
  await second.send(JSON.stringify(HELLO));
  const { code, reason } = await second.done;
  assert.equal(code, 1013);
  assert.match(reason, /another application is already connected/);
  assert.equal(second.messages.find((m) => m.type === 'error').code, 1013);
  const frame = rig.testFrame(FRAME_BYTES, 4242);
  await first.send(frame);
  await rig.waitFor('the first client frame', () =>
    ndiLog.all().some((e) => e.event === 'send_video' && e.fnv === rig.standin.fnv1a64(frame)), 30000);
  first.socket.close(1000);
  await first.done;
  await assertStillServing();
});

test('requests that are not a WebSocket upgrade get an HTTP answer', async () => {
  const get = (port, lines) => `GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n${lines}\r\n`;
  const key = 'dGhlIHNhbXBsZSBub25jZQ==';
  const cases = [
    ['plain GET elsewhere than the status page', (p) => `GET /other HTTP/1.1\r\nHost: 127.0.0.1:${p}\r\n\r\n`, 404, /not found/],
    ['POST', (p) => `POST / HTTP/1.1\r\nHost: 127.0.0.1:${p}\r\n\r\n`, 405, /only GET/],
    ['POST upgrade', (p) => `POST / HTTP/1.1\r\nHost: 127.0.0.1:${p}\r\nUpgrade: websocket\r\n\r\n`, 405, /only GET opens/],
    ['version 8', (p) => get(p, `Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 8\r\n`), 426, /version 13/],
    ['bad key', (p) => get(p, 'Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: abc\r\nSec-WebSocket-Version: 13\r\n'), 400, /Sec-WebSocket-Key/],
    ['foreign host', () => `GET / HTTP/1.1\r\nHost: attacker.example:80\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`, 403, /loopback/],
    ['huge head', (p) => get(p, `X-Filler: ${'a'.repeat(9000)}\r\n`), 431, /over 8 KiB/],
    ['garbage', () => 'hello there\r\n\r\n', 400, /malformed request line/],
  ];
  for (const [name, request, status, pattern] of cases) {
    const client = await rig.rawConnect(bridge.port, { request: request(bridge.port) });
    const answer = await client.closed(10000);
    assert.equal(answer.status, status, `${name}: ${answer.head}`);
    assert.match(answer.body, pattern, name);
  }
  // The sample key of RFC 6455 gets the sample answer.
  const client = await rig.rawConnect(bridge.port, {
    request: get(bridge.port, `Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n`),
  });
  await client.until('the upgrade', () => (client.text().includes('\r\n\r\n') ? true : undefined));
  assert.ok(client.text().includes('Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n'));
  // Without a hello it holds no slot: a good client is served while it is still open.
  await assertStillServing();
  client.socket.destroy();
});

test('an application that vanishes mid-frame does not hold the bridge', async () => {
  // The sender is stopped and the slot is free again.
  const before = ndiLog.all().filter((e) => e.event === 'send_destroy').length;
  const gone = await rig.openSession(bridge.port, HELLO);
  await gone.send(Buffer.alloc(1000), { fin: false });
  gone.socket.terminate();
  await rig.waitFor('the sender to stop', () =>
    ndiLog.all().filter((e) => e.event === 'send_destroy').length === before + 1, 30000);
  await rig.waitFor('the session end record', () =>
    bridge.records().some((r) => r.event === 'session_end' && r.reason === 'connection lost'), 10000);
  await assertStillServing();
});

test('ping is answered with the same payload; a client close is echoed', async () => {
  const client = await rig.rawConnect(bridge.port);
  await client.write(rig.maskedFrame(9, Buffer.from('are you there')));
  await client.write(rig.maskedFrame(8, Buffer.concat([Buffer.from([0x0f, 0xa0]), Buffer.from('bye')])));
  const { frames } = await client.closed(10000);
  assert.equal(frames[0].opcode, 10);
  assert.equal(frames[0].payload.toString(), 'are you there');
  assert.equal(frames[1].opcode, 8);
  assert.equal(frames[1].code, 4000);
  assert.ok(bridge.records().some((r) => r.event === 'client_close' && r.code === '4000' && r.reason === 'bye'));
});
