'use strict';
// A whole launch through the built launcher: exit code, records, and what the child got
// (command line, current directory, hidden start, standard handles, environment).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const registry = require('../rig/registry.js');
const h = require('./harness.js');

test.before(() => registry.deleteMachineValue());

// Launches with a log directory and lets the probe write only once the launcher has exited,
// so the log order is deterministic. Returns the launch, the records and the probe report.
async function runLogged(inst, { args = [], vars = {}, probe = {} } = {}) {
  const logDir = path.join(h.tempDir('log'), 'logs');
  const go = path.join(logDir, '..', 'go');
  const done = path.join(logDir, '..', 'done');
  const env = h.launchEnv({ KESTOVAR_NDI_LOG_DIR: logDir, ...h.probeOptions({ wait: go, done, ...probe }), ...vars });
  const result = await h.launch(inst.exe, { env, args });
  fs.writeFileSync(go, '');
  if (result.code === 0) await h.waitFor('probe done', () => h.exists(done));
  const text = h.readText(path.join(logDir, 'bridge.log'));
  const entries = text === null ? null : h.launcherLines(text);
  return { result, text, entries, logDir };
}

function splitEntries(entries) {
  const firstProbe = entries.findIndex((e) => !e.record);
  const records = entries.filter((e) => e.record);
  const probeLines = entries.filter((e) => !e.record).map((e) => e.line);
  return { firstProbe, records, probe: h.parseProbe(probeLines) };
}

test('a launch from a directory with spaces and non-ASCII starts the runtime hidden on the script', async () => {
  const inst = h.stage({ name: 'Kestovar Output Bridge ünï €' });
  const { result, entries } = await runLogged(inst, { vars: { NDI_RUNTIME_DIR_V6: h.ndiRuntimeDir() } });
  assert.equal(result.code, 0);
  const { firstProbe, records, probe } = splitEntries(entries);

  // Launcher records first, then the child's output.
  assert.deepEqual(records.map((r) => `${r.key}=${r.key === 'child' ? 'pid' : r.value}`),
    ['starting=0', 'ndi_runtime_machine_missing=1', 'child=pid']);
  assert.equal(firstProbe, 3);
  for (const r of records) assert.equal(r.pid, result.pid);
  assert.equal(records[2].value, probe.pid);

  assert.equal(probe.cmdline, h.expectedCommandLine(inst.dir));
  assert.deepEqual(probe.argv, [inst.runtime, inst.script]);
  assert.equal(probe.argc, '2');
  assert.equal(probe.cwd.replace(/\\$/, ''), inst.app);
  const { startup_flags, show, stdin, stdout, stderr, stdout_is_stderr } = probe;
  assert.deepEqual({ startup_flags, show, stdin, stdout, stderr, stdout_is_stderr },
    { startup_flags: '0x101', show: '0', stdin: 'char', stdout: 'disk', stderr: 'disk', stdout_is_stderr: 'yes' });
  assert.match(probe.stdout_path, /\\logs\\bridge\.log$/);
  // The inherited value is gone: no machine value is set.
  assert.equal(probe.ndi_runtime_dir, null);
});

test('launcher arguments are ignored: the same command line with or without them', async () => {
  const inst = h.stage({ name: 'with args' });
  const runs = await Promise.all([
    runLogged(inst, { args: [] }),
    runLogged(inst, { args: ['--inspect', 'x y', '"quoted"', 'C:\\evil.js'] }),
  ]);
  for (const run of runs) {
    assert.equal(run.result.code, 0);
    const { probe } = splitEntries(run.entries);
    assert.equal(probe.cmdline, h.expectedCommandLine(inst.dir));
    assert.equal(probe.argc, '2');
  }
});

test('without a log the child gets NUL as output and error, and a failing child still gives 0', async () => {
  const inst = h.stage();
  const report = path.join(h.tempDir('report'), 'report.txt');
  const result = await h.launch(inst.exe, {
    env: h.launchEnv({ LOCALAPPDATA: undefined, KESTOVAR_NDI_LOG_DIR: undefined,
      ...h.probeOptions({ report, exit: 3 }) }),
  });
  assert.equal(result.code, 0);
  const probe = await h.probeReport(report);
  const { stdin, stdout, stderr, stdout_is_stderr, startup_flags } = probe;
  assert.deepEqual({ stdin, stdout, stderr, stdout_is_stderr, startup_flags },
    { stdin: 'char', stdout: 'char', stderr: 'char', stdout_is_stderr: 'yes', startup_flags: '0x101' });
  assert.equal(probe.cmdline, h.expectedCommandLine(inst.dir));
});

test('a pipe the launcher inherited is not handed on: it ends when the launcher exits', async () => {
  const inst = h.stage();
  const dir = h.tempDir('pipe');
  const go = path.join(dir, 'go');
  const done = path.join(dir, 'done');
  const report = path.join(dir, 'report.txt');
  const env = h.launchEnv({ KESTOVAR_NDI_LOG_DIR: path.join(dir, 'logs'),
    ...h.probeOptions({ wait: go, done, report }) });
  // The launcher's output is an inheritable pipe of ours; the probe waits for `go`.
  const launcher = spawn(inst.exe, [], { env, stdio: ['ignore', 'pipe', 'ignore'] });
  const exited = once(launcher, 'exit');
  const ended = once(launcher.stdout, 'end');
  launcher.stdout.resume();
  assert.deepEqual(await exited, [0, null]);
  await ended;
  assert.equal(h.exists(done), false, 'the pipe ended while the bridge stand-in still runs');

  fs.writeFileSync(go, '');
  const probe = await h.probeReport(report);
  assert.deepEqual([probe.stdin, probe.stdout, probe.stderr, probe.stdout_is_stderr],
    ['char', 'disk', 'disk', 'yes']);
  assert.match(probe.stdout_path, /\\logs\\bridge\.log$/);
});

test('the stop tool ends every bridge of its installation by handle, or names the one it cannot open', async () => {
  const inst = h.stage({ name: 'stop others' });
  fs.cpSync(path.join(__dirname, '..', '..', 'app', 'src'), path.join(inst.dir, 'app', 'src'), { recursive: true });
  fs.copyFileSync(path.join(process.env.KESTOVAR_BUILD_DIR, 'processes', 'kestovar-find-processes.exe'),
    path.join(inst.dir, 'runtime', 'kestovar-find-processes.exe'));
  // Two stand-in bridges that wait after their first line; one denies every access to its
  // process, as another user's bridge does.
  const dir = h.tempDir('stop');
  const resume = path.join(dir, 'resume');
  const bridges = ['open', 'locked'].map((tag) => {
    const report = path.join(dir, `${tag}.txt`);
    const env = h.launchEnv(h.probeOptions({ tag, report, lines: 1, pauseAt: 1, resume, locked: tag === 'locked' }));
    const child = spawn(inst.runtime, [], { env, stdio: 'ignore' });
    return { child, exited: once(child, 'exit'), report };
  });
  for (const bridge of bridges) await h.waitFor('the probe to pause', () => (h.readText(bridge.report) || '').includes('probe line 1/1'));

  const stop = spawnSync(process.execPath, [path.join(inst.dir, 'app', 'src', 'stop.js')],
    { env: h.launchEnv({ KESTOVAR_BRIDGE_STATE_DIR: h.tempDir('state') }), encoding: 'utf8' });
  fs.writeFileSync(resume, '');
  assert.equal(stop.stdout.trim(),
    `kestovar stop: could not end the bridge (pid ${bridges[1].child.pid}) of another user: cannot open it: error 5`);
  assert.equal(stop.status, 1);
  // The one it could open was ended (exit code 1); the locked one ran on to its own end.
  assert.deepEqual(await bridges[0].exited, [1, null]);
  assert.deepEqual(await bridges[1].exited, [0, null]);
});
