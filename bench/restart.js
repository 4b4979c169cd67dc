'use strict';
// What the monitor costs and what it gives back, on the installed tree under Wine with the
// stand-in NDI runtime:
// - the time from a crash to the first frame accepted again: an application on the client
//   library (reconnect: true, its default delays) sends small frames as fast as they are
//   taken; the runtime crashes the bridge's process at its 30th frame (an access
//   violation); the time runs from the crashing frame's send to the send of the first
//   frame the new bridge's runtime received, split into the crash's handling (until the
//   application sees the connection go), the new start, and the first frame. Medians.
// - the start time it adds: the bridge under its monitor (server.js) and alone
//   (bridge-process.js), in turn, from the spawn until the state file names it. Medians.
// - its memory: the resident memory of the monitor's Wine process, beside the bridge's and
//   a bare node.exe's that runs nothing, measured side by side.
//
// Command (after a build; it stages the installation tree itself):
//   node bench/restart.js [BUILD_DIR] [RUNS]
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { startBenchBridge, rig } = require('./rig');
const { median } = require('./measure');
const { connect } = require('../client/index.cjs');

const runs = Number(process.argv[3] || 5);
const CRASH_AT_FRAME = 30;

function residentMB(unixPid) {
  const status = fs.readFileSync(`/proc/${unixPid}/status`, 'utf8');
  return Number(/VmRSS:\s+(\d+) kB/.exec(status)[1]) / 1024;
}

async function crashToFrame(dir) {
  const env = { NDI_STANDIN_CRASH_AT_FRAME: String(CRASH_AT_FRAME), NDI_STANDIN_CRASH_ONCE: rig.windowsPath(path.join(dir, 'crashed')) };
  const { bridge, ndiLog } = await rig.startStandinBridge({ dir, env });
  const app = await connect({ locate: async () => rig.adoptState(bridge.stateDir), source: 'restart', width: 32, height: 18, fps: 30, reconnect: true });
  const events = {};
  app.on('state', ({ state }) => { events[state] ??= performance.now(); });
  const sends = []; // { fnv, at }: the frames sendFrame took, in order
  let n = 0;
  let crash;
  for (;;) {
    const frame = rig.testFrame(app.frameBytes, ++n);
    const at = performance.now();
    if (await app.sendFrame(frame)) sends.push({ fnv: rig.fnv1a64(frame), at });
    else await rig.sleep(5);
    if (!events.connected) continue;
    const all = ndiLog.all();
    crash ??= all.find((e) => e.event === 'crash');
    const first = crash && all.find((e) => e.event === 'send_video' && e.pid !== crash.pid);
    if (!first) continue;
    // The runtime logs every frame but the one it crashes on: the next one sent.
    const lastLogged = all.filter((e) => e.event === 'send_video' && e.pid === crash.pid).at(-1);
    const t0 = sends[sends.findIndex((s) => s.fnv === lastLogged.fnv) + 1].at;
    const t1 = sends.find((s) => s.fnv === first.fnv).at;
    await app.close();
    await bridge.stop();
    return { total: t1 - t0, gone: events.disconnected - t0, back: events.connected - events.disconnected, first: t1 - events.connected };
  }
}

async function startMs(dir, script) {
  const since = performance.now();
  const { bridge } = await rig.startStandinBridge({ dir, script });
  const ms = performance.now() - since;
  await bridge.stop();
  return ms;
}

async function memory() {
  const bridge = await startBenchBridge('restart');
  const idle = spawn(rig.WINE_EXEC, [rig.PREFIX, path.join(rig.STAGE_DIR, 'runtime', 'kestovar-ndi-bridge.exe'), '-e', 'setInterval(() => {}, 1e9)'],
    { env: rig.wineEnv(), stdio: 'ignore' });
  await rig.sleep(3000);
  const figures = { monitor: residentMB(bridge.unixPid), bridge: residentMB(bridge.servingUnixPid()), idle: residentMB(idle.pid) };
  idle.kill('SIGKILL');
  await bridge.stop();
  return figures;
}

async function main() {
  const work = rig.workDir('bench', 'restart');
  const mem = await memory();
  console.log(`resident memory: monitor ${mem.monitor.toFixed(1)} MB, bridge ${mem.bridge.toFixed(1)} MB, ` +
    `a node.exe that runs nothing ${mem.idle.toFixed(1)} MB (Wine loads images into private memory)`);

  const starts = { monitored: [], alone: [] };
  for (let i = 0; i < runs; i++) {
    starts.monitored.push(await startMs(path.join(work, `start-m${i}`), 'server.js'));
    starts.alone.push(await startMs(path.join(work, `start-a${i}`), 'bridge-process.js'));
  }
  const [m, a] = [median(starts.monitored), median(starts.alone)];
  console.log(`start until the state file names the bridge (median of ${runs}): under the monitor ${m.toFixed(0)} ms, ` +
    `alone ${a.toFixed(0)} ms, added ${(m - a).toFixed(0)} ms (${(m / a).toFixed(2)}x)`);

  const results = [];
  for (let i = 0; i < runs; i++) {
    const r = await crashToFrame(path.join(work, `crash-${i}`));
    results.push(r);
    console.log(`run ${i + 1}: crash to first frame again ${r.total.toFixed(0)} ms (crash handled ${r.gone.toFixed(0)}, ` +
      `back and connected ${r.back.toFixed(0)}, first frame ${r.first.toFixed(0)})`);
  }
  const pick = (key) => median(results.map((r) => r[key])).toFixed(0);
  console.log(`median of ${runs}: crash to first frame accepted again ${pick('total')} ms (crash handled ${pick('gone')}, ` +
    `back and connected ${pick('back')}, first frame ${pick('first')})`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
