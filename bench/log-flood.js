'use strict';
// What strangers who reach the bridge's port can do to its log: refused requests as fast
// as one client can send them (a POST with a long path from a foreign origin, and a
// request that is not HTTP), then WebSocket connections that close at once with a long
// reason, 8 at a time for a few seconds; how many, and how much the log grew, and one
// application's frames through it all.
//
// Command (after a build; it stages the installation tree itself):
//   node bench/log-flood.js [BUILD_DIR] [REQUESTS] [UPGRADE_SECONDS]
// e.g. node bench/log-flood.js build 500 5; with `in-process` for BUILD_DIR, the bridge
// runs in this node on the rig's fake addon, past Wine's slower loopback.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startBenchBridge, rig } = require('./rig');

const requests = Number(process.argv[3] || 500);
const upgradeSeconds = Number(process.argv[4] || 5);
const PARALLEL = 8;

// Upgrades that close at once, PARALLEL at a time until the time is up; how many.
async function upgradeFlood(port) {
  const closeFrame = rig.maskedFrame(8, Buffer.concat([Buffer.from([0x03, 0xe8]), Buffer.from('r'.repeat(120))]));
  const until = Date.now() + upgradeSeconds * 1000;
  let count = 0;
  await Promise.all(Array.from({ length: PARALLEL }, async () => {
    while (Date.now() < until) {
      const client = await rig.rawConnect(port);
      await client.write(closeFrame);
      await client.closed(10000);
      count++;
    }
  }));
  return count;
}

async function refused(port, request) {
  const client = await rig.rawConnect(port, { request });
  return (await client.closed(10000)).status;
}

async function inProcessBridge() {
  const { createBridge } = require('../app/src/bridge');
  const { createFakeAddon } = require('../tests/rig/fake-addon');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-flood-'));
  const logFile = path.join(dir, 'bridge.log');
  require('../app/src/log').logTo(fs.openSync(logFile, 'a'));
  const bridge = createBridge({ ndi: createFakeAddon(), env: { KESTOVAR_BRIDGE_PORT: '0', KESTOVAR_BRIDGE_STATE_DIR: dir } });
  const { port } = await bridge.listening;
  rig.adoptState(dir);
  return { port, logFile, stop: () => bridge.stop() };
}

async function main() {
  const bridge = process.argv[2] === 'in-process' ? await inProcessBridge() : await startBenchBridge('log-flood');
  try {
    const before = fs.statSync(bridge.logFile).size;
    const post = `POST /${'p'.repeat(8000)} HTTP/1.1\r\nHost: 127.0.0.1:${bridge.port}\r\nOrigin: http://evil.example\r\n\r\n`;
    const started = process.hrtime.bigint();
    const statuses = new Map();
    for (let i = 0; i < requests; i++) {
      for (const request of [post, 'nonsense\r\n\r\n']) {
        const status = await refused(bridge.port, request);
        statuses.set(status, (statuses.get(status) || 0) + 1);
      }
    }
    const ms = Number(process.hrtime.bigint() - started) / 1e6;
    const grown = fs.statSync(bridge.logFile).size - before;
    const upgrades = await upgradeFlood(bridge.port);
    const grownByUpgrades = fs.statSync(bridge.logFile).size - before - grown;
    const session = await rig.openSession(bridge.port, { source: 'after the flood', width: 64, height: 32, fpsN: 30, format: 'RGBA' });
    await session.send(rig.testFrame(64 * 32 * 4, 1));
    session.socket.close(1000);
    await session.done;
    console.log(`${requests * 2} refused requests (${[...statuses].map(([s, n]) => `${n} x ${s}`).join(', ')}) in ${ms.toFixed(0)} ms`);
    console.log(`log grew by ${grown} bytes (${(grown / (requests * 2)).toFixed(1)} bytes a request)`);
    console.log(`${upgrades} WebSocket connections closed at once in ${upgradeSeconds} s, ${PARALLEL} at a time: ` +
      `log grew by ${grownByUpgrades} bytes (${(grownByUpgrades / upgrades).toFixed(2)} bytes a connection)`);
    console.log(`RESULT: log flood ${requests * 2} requests, log +${grown} bytes; ${upgrades} upgrades, log +${grownByUpgrades} bytes; ` +
      'an application still served');
  } finally {
    await bridge.stop();
  }
}

main().catch((error) => {
  console.error(`log-flood: ${error.stack || error}`);
  process.exit(1);
});
