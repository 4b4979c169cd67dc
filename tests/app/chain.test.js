'use strict';
// The whole chain: an application over WebSocket on the loopback -> the installed bridge
// runtime on the installed server script -> quorvex.node -> the stand-in NDI runtime.
// Every frame must arrive byte-exact (FNV-1a 64 in the stand-in's log against the frames
// sent), in order, with the hello's settings, and no frame may change while the runtime
// may still read it (the stand-in's watcher re-hashes the frame it holds).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const rig = require('../rig');

const work = rig.workDir('app', 'chain');

const FOURCC = { RGBA: '0x41424752', UYVY: '0x59565955' };

// Sends `count` frames, cycling through ways of cutting a message: whole; fragments of
// 7-bit, 16-bit and 64-bit lengths with odd sizes (so the mask phase moves within the
// frame); and a ping in the middle of a fragmented message.
async function sendFrames(client, frameBytes, count, seedBase) {
  const sent = [];
  for (let n = 0; n < count; n++) {
    const frame = rig.testFrame(frameBytes, seedBase + n);
    sent.push(frame);
    const style = n % 4;
    if (style === 0) {
      await client.send(frame, { binary: true });
    } else {
      const cuts = style === 1 ? [1, 125, 126, 65535, 65536, 3] : style === 2 ? [4099, 77777] : [frameBytes - 5, 1, 1];
      let at = 0;
      let piece = 0;
      while (at < frameBytes) {
        const size = Math.min(cuts[piece++ % cuts.length], frameBytes - at);
        const fin = at + size === frameBytes;
        await client.send(frame.subarray(at, at + size), { binary: true, fin });
        if (style === 3 && piece === 1) client.socket.ping(Buffer.from(`ping-${n}`));
        at += size;
      }
    }
  }
  return sent;
}

async function runChain(t, { format, width, height, count, fpsN, fpsD, plainReads = false }) {
  const dir = path.join(work, `${format}${plainReads ? '-plain' : ''}`);
  const frameDir = path.join(dir, 'frames');
  fs.mkdirSync(frameDir, { recursive: true });
  const { bridge, ndiLog } = await rig.startStandinBridge({
    dir,
    env: {
      NDI_STANDIN_FRAME_DIR: rig.windowsPath(frameDir),
      KESTOVAR_BRIDGE_PLAIN_READS: plainReads ? '1' : '',
    },
  });
  t.after(() => bridge.stop());
  assert.equal(bridge.records().find((r) => r.event === 'server_start').ndi_runtime, 'available');

  const source = `Kestovar chain ${format} ✓`;
  const client = await rig.openSession(bridge.port, { type: 'hello', source, width, height, fpsN, fpsD, format });
  const frameBytes = width * height * (format === 'RGBA' ? 4 : 2);
  assert.equal(client.ready.frameBytes, frameBytes);
  const pongs = [];
  client.socket.on('pong', (data) => pongs.push(data.toString()));

  const sent = await sendFrames(client, frameBytes, count, format === 'RGBA' ? 1000 : 2000);
  const stats = await (client.send(JSON.stringify({ type: 'stats' })), client.nextMessage((m) => m.type === 'stats'));
  assert.equal(stats.frames, count);
  client.socket.close(1000, 'done');
  assert.equal((await client.done).code, 1000);
  // The application left: the bridge stops the sender, which flushes and destroys it.
  await rig.waitFor('send_destroy', () => ndiLog.all().some((e) => e.event === 'send_destroy'), 30000);

  const events = ndiLog.all();
  const create = events.find((e) => e.event === 'send_create');
  assert.equal(rig.fromHex(create.name), source);
  assert.equal(create.clock_video, '0');
  const videos = events.filter((e) => e.event === 'send_video' && e.fnv !== 'null');
  assert.equal(videos.length, count);
  assert.deepEqual(videos.map((e) => e.fnv), sent.map((f) => rig.fnv1a64(f)));
  for (const v of videos) {
    assert.equal(v.mode, 'async');
    assert.equal(v.xres, String(width));
    assert.equal(v.yres, String(height));
    assert.equal(v.fourcc, FOURCC[format]);
    assert.equal(v.rate, `${fpsN}/${fpsD}`);
    assert.equal(v.bytes, String(frameBytes));
  }
  assert.deepEqual(events.filter((e) => e.event === 'frame_changed'), [],
    'a frame buffer was written while the runtime could still read it');
  assert.equal(events.filter((e) => e.event === 'send_destroy').length, 1);
  assert.deepEqual(pongs, Array.from({ length: Math.floor(count / 4) }, (_, i) => `ping-${4 * i + 3}`));

  const last = JSON.parse(fs.readFileSync(path.join(frameDir, 'last-frame.json'), 'utf8'));
  assert.deepEqual([last.xres, last.yres, last.fourcc, last.frames], [width, height, format, count]);
  assert.ok(fs.readFileSync(path.join(frameDir, 'last-frame.raw')).equals(sent[count - 1]));

  const end = bridge.records().find((r) => r.event === 'session_end');
  assert.equal(end.frames, String(count));
  assert.match(end.peer, /^127\.0\.0\.1:\d+$/, 'the application\'s address, read before the reader takes the socket');
  assert.equal(bridge.alive(), true, 'the bridge keeps serving after the application left');
  // Sockets read into the large buffer unless the plain way is asked for, and then they
  // say so once.
  assert.equal(bridge.records().filter((r) => r.event === 'large_reads_unavailable').length, plainReads ? 1 : 0);
  const exit = await bridge.stop();
  assert.equal(exit.code, 0);
  assert.ok(bridge.records().some((r) => r.event === 'shutdown' && r.signal === 'SIGINT'));
}

test('RGBA frames arrive byte-exact at the NDI runtime, whole and fragmented', (t) =>
  runChain(t, { format: 'RGBA', width: 640, height: 360, count: 24, fpsN: 60, fpsD: 1 }));

test('UYVY frames arrive byte-exact at the NDI runtime, whole and fragmented', (t) =>
  runChain(t, { format: 'UYVY', width: 1280, height: 720, count: 12, fpsN: 30000, fpsD: 1001 }));

test('with plain reads, the fallback, frames still arrive byte-exact', (t) =>
  runChain(t, { format: 'RGBA', width: 320, height: 180, count: 12, fpsN: 60, fpsD: 1, plainReads: true }));

test('a frame cut into TCP writes at odd offsets is unmasked in its right phase', async (t) => {
  const dir = path.join(work, 'raw');
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir });
  t.after(() => bridge.stop());
  const client = await rig.rawConnect(bridge.port);
  await client.until('the upgrade', () => (client.text().includes('\r\n\r\n') ? true : undefined));
  assert.match(client.text(), /^HTTP\/1\.1 101 /);
  assert.ok(client.text().includes(`Sec-WebSocket-Accept: ${client.accept}\r\n`));
  const hello = { token: bridge.token, source: 'raw', width: 34, height: 2, fpsN: 25, format: 'RGBA' };
  await client.write(rig.maskedFrame(1, Buffer.from(JSON.stringify(hello))));
  await client.until('ready', () => (client.text().includes('"ready"') ? true : undefined));
  const frame = rig.testFrame(34 * 2 * 4, 7);
  // Two fragments with different masks, each written in pieces of 1, 2, 3, ... bytes.
  const bytes = Buffer.concat([
    rig.maskedFrame(2, frame.subarray(0, 101), { fin: false }),
    rig.maskedFrame(0, frame.subarray(101)),
  ]);
  for (let at = 0, size = 1; at < bytes.length; at += size, size++) {
    await client.write(bytes.subarray(at, at + size));
    await rig.sleep(2);
  }
  await rig.waitFor('the frame', () => ndiLog.all().find((e) => e.event === 'send_video'), 30000);
  assert.equal(ndiLog.all().find((e) => e.event === 'send_video').fnv, rig.fnv1a64(frame));
  client.socket.destroy();
});
