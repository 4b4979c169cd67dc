'use strict';
// The addon on the vendor's real NDI runtime, under Wine, inside a private network
// namespace: each case is one Windows node.exe process with one sender (publish.js),
// ended by its exit, because the runtime's NDIlib_send_destroy never returns under Wine
// (stop() would hang; the bridge's watchdog handles that, see tests/app/runtime-stuck).
// The vendor finder must see each name exactly as given.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const vendor = require('../rig/vendor');
const { workDir } = require('../rig/work');

const work = workDir('vendor', 'addon');
const NODE_EXE = process.env.KESTOVAR_NODE_EXE;
const runtime = vendor.vendorRuntime();
// The bridge's longest source name is 200 characters.
const LONG_NAME = ('Kestovar Grenzlänge ' + 'ÄÖÜß–'.repeat(40)).slice(0, 200);
const FULL_NAME_BYTES = 63;

// Starts a publisher; resolves { result, finish } once it has sent its frames.
async function publish(name, format, frames) {
  const dir = path.join(work, `${format}-${Date.now()}`);
  fs.mkdirSync(dir, { recursive: true });
  const files = { RESULT: path.join(dir, 'result.json'), HOLD: path.join(dir, 'hold'), OUT: path.join(dir, 'out.txt') };
  const out = fs.openSync(files.OUT, 'w');
  const child = spawn(vendor.WINE_EXEC, [vendor.PREFIX, NODE_EXE, '--expose-gc', vendor.windowsPath(path.join(__dirname, 'publish.js'))], {
    env: vendor.wineEnv({ NAME: name, FORMAT: format, FRAMES: String(frames),
      RESULT: vendor.windowsPath(files.RESULT), HOLD: vendor.windowsPath(files.HOLD) }),
    stdio: ['ignore', out, out],
  });
  fs.closeSync(out);
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  for (const until = Date.now() + 60000; !fs.existsSync(files.RESULT); await new Promise((r) => setTimeout(r, 50))) {
    if (Date.now() > until || child.exitCode !== null) throw new Error(`publisher failed: ${fs.readFileSync(files.OUT, 'utf8')}`);
  }
  const result = JSON.parse(fs.readFileSync(files.RESULT, 'utf8'));
  const finish = () => {
    fs.writeFileSync(files.HOLD, '');
    return exited;
  };
  return { result, finish, dir };
}

async function publishAndFind(senders) {
  const publishers = await Promise.all(senders.map(([name, format, frames]) => publish(name, format, frames)));
  const found = await vendor.findSources(runtime.dir, 10000, senders.map(([name]) => name.slice(0, 20)),
    path.join(publishers[0].dir, 'finder.txt'));
  for (const p of publishers) assert.equal(await p.finish(), 0, 'the publisher ends at once without destroying its sender');
  return { results: publishers.map((p) => p.result), found };
}

test('addon on the vendor runtime', { skip: runtime.skip && `skipped: ${runtime.skip}` }, async (t) => {
  vendor.useVendorRuntime(runtime.dir);
  let host = null;

  await t.test('isAvailable, start in RGBA, 3000 asynchronous sends under forced GC, a non-ASCII name found as given', async () => {
    const name = 'Bühne 1 – Kestovar ✓';
    const { results, found } = await publishAndFind([[name, 'RGBA', 3000]]);
    assert.deepEqual(results, [{ available: true, started: true, accepted: 3000 }]);
    const source = vendor.sourceName(found, name);
    assert.ok(source, `found ${JSON.stringify(found)}`);
    assert.match(source.address, /^10\.77\.0\.[12]:\d+$/, 'announced inside the namespace only');
    host = source.name.slice(0, -` (${name})`.length);
    t.diagnostic(`found "${source.name}" at ${source.address} after ${source.ms} ms`);
  });

  // The runtime (3.5.9) cuts a source's full name, "HOST (name)", to 63 bytes, even inside
  // a UTF-8 sequence: the longest name that fits is found as given, the bridge's longest
  // (200 characters) only by its first bytes.
  await t.test('start in UYVY; names at the runtime\'s limit and at the bridge\'s', async () => {
    const room = FULL_NAME_BYTES - Buffer.byteLength(`${host} ()`);
    const fits = 'Kestovar Rand ' + 'ä'.repeat((room - 14) >> 1) + ((room - 14) % 2 ? '!' : '');
    assert.equal(Buffer.byteLength(fits), room);
    const { results, found } = await publishAndFind([[fits, 'UYVY', 300], [LONG_NAME, 'RGBA', 300]]);
    assert.deepEqual(results, [1, 2].map(() => ({ available: true, started: true, accepted: 300 })));
    assert.ok(vendor.sourceName(found, fits), `found ${JSON.stringify(found.map((f) => f.name))}`);
    const cut = found.find((f) => f.name.includes('Grenzlänge'));
    assert.equal(cut.bytes.length, FULL_NAME_BYTES);
    assert.deepEqual(cut.bytes.subarray(Buffer.byteLength(host) + 2, -1), Buffer.from(LONG_NAME).subarray(0, room));
    t.diagnostic(`the ${LONG_NAME.length}-character name is published as "${cut.name}"`);
  });

  await t.test('stop and start cycles: a sender per process, the same name again each time', async () => {
    const name = 'Kestovar cycles';
    for (let cycle = 0; cycle < 3; cycle++) {
      const { result, finish } = await publish(name, cycle % 2 ? 'UYVY' : 'RGBA', 200);
      assert.deepEqual(result, { available: true, started: true, accepted: 200 }, `cycle ${cycle}`);
      if (cycle < 2) assert.equal(await finish(), 0);
      else {
        const found = await vendor.findSources(runtime.dir, 10000, [name], path.join(work, 'cycles-finder.txt'));
        await finish();
        assert.ok(vendor.sourceName(found, name), 'the last cycle is found');
      }
    }
  });
});
