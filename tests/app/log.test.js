'use strict';
// The bridge's log (log.js) in this machine's node.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const app = path.join(__dirname, '..', '..', 'app', 'src');

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
    const child = spawnSync(process.execPath, ['-e', script, file], { stdio: ['ignore', fd, 'inherit'] });
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
