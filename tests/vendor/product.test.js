'use strict';
// The installed tree on the vendor's real NDI runtime, under Wine, inside a private
// network namespace: the launcher starts the bridge, the client library publishes, the
// vendor finder discovers the source, the status page names the runtime's directory, a
// stop request ends the bridge within 10 s (the runtime never returns from destroying its
// sender under Wine: the bridge ends itself, runtime_stuck), and the source is gone.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const vendor = require('../rig/vendor');
const { workDir } = require('../rig/work');
const rig = require('../rig');
const { connect } = require('../../client/index.cjs');

const work = workDir('vendor', 'product');
const runtime = vendor.vendorRuntime();
const SOURCE = 'Kestovar Bühne – Produkt';

function runWine(args, env, outFile) {
  return spawnSync(vendor.WINE_EXEC, [vendor.PREFIX, ...args], {
    env: vendor.wineEnv(env), stdio: ['ignore', fs.openSync(outFile, 'w'), 'ignore'], timeout: 60000,
  });
}

test('installed bridge on the vendor runtime', { skip: runtime.skip && `skipped: ${runtime.skip}` }, async (t) => {
  fs.mkdirSync(path.join(work, 'logs'), { recursive: true });
  vendor.useVendorRuntime(runtime.dir);
  const stateDir = path.join(work, 'state');
  const env = { KESTOVAR_NDI_LOG_DIR: vendor.windowsPath(path.join(work, 'logs')),
    KESTOVAR_BRIDGE_STATE_DIR: vendor.windowsPath(stateDir), KESTOVAR_BRIDGE_PORT: '0' };
  const launcher = runWine([path.join(rig.STAGE_DIR, 'Kestovar Output Bridge.exe')], env, path.join(work, 'launcher.txt'));
  assert.equal(launcher.status, 0, 'the launcher started the bridge');
  const state = await rig.waitFor('the state file', () => fs.existsSync(path.join(stateDir, 'bridge.json')) && rig.adoptState(stateDir), 60000);
  const bridgePid = vendor.bridgeProcess(rig.STAGE_DIR);
  assert.ok(bridgePid, 'the bridge runtime runs');
  const records = () => rig.bridgeRecords(rig.readText(path.join(work, 'logs', 'bridge.log')));
  assert.equal(records().find((r) => r.event === 'server_start').ndi_runtime, 'available');

  const client = await connect({ port: state.port, token: state.token, source: SOURCE, width: 64, height: 36, fps: 30 });
  const frame = Buffer.alloc(client.frameBytes, 0x80);
  for (let n = 0; n < 300; n++) assert.equal(await client.sendFrame(frame), true);
  const found = await vendor.findSources(runtime.dir, 10000, [SOURCE], path.join(work, 'finder.txt'));
  assert.ok(vendor.sourceName(found, SOURCE), `found ${JSON.stringify(found.map((f) => f.name))}`);

  const status = await (await fetch(`http://127.0.0.1:${state.port}/status.json`)).json();
  assert.equal(status.bridge.ndiRuntime, 'available');
  assert.equal(status.bridge.ndiRuntimeDir, vendor.windowsPath(runtime.dir));
  assert.equal(status.application.source, SOURCE);

  // A stop request from the client library, answered before the runtime is asked to let go.
  const since = Date.now();
  await client.stopBridge();
  await rig.waitFor('the bridge to end', () => !rig.processAlive(bridgePid), 15000);
  const stopMs = Date.now() - since;
  assert.ok(stopMs < 10000, `the bridge ended ${stopMs} ms after the stop request`);
  assert.equal(fs.existsSync(path.join(stateDir, 'bridge.json')), false);
  const stuck = records().filter((r) => r.event === 'runtime_stuck');
  t.diagnostic(`stopped in ${stopMs} ms; ${stuck.length ? `runtime_stuck call=${stuck[0].call}` : 'the runtime returned'}`);
  assert.equal((await client.closed).closeCode, 1001);

  assert.equal(execFileSync('ss', ['-Hltn', 'sport = :5961'], { encoding: 'utf8' }).trim(), '', 'nothing listens for NDI');
  const after = await vendor.findSources(runtime.dir, 3000, [], path.join(work, 'finder-after.txt'));
  assert.equal(vendor.sourceName(after, SOURCE), undefined, 'the source is gone');
});
