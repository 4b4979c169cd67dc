'use strict';
// The Windows installer: cpack makes it (signed, with the project's executables inside it,
// by a throwaway certificate), and it runs silently under Wine in the test prefix as an
// administrator's deployment runs it: into Program Files or the /D= directory, with the
// Apps entry, the Start-menu shortcut, start at sign-in when asked, a word on the NDI
// runtime in its log, the machine settings of /ORIGINS= and /PORT=, the folder's
// permissions set before anything runs from it; upgrades (in place, or moved by /D=) and
// the uninstaller the Apps entry names stop a running bridge first, and the uninstaller
// removes all the installer made.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const rig = require('../rig');

const work = path.join(rig.BUILD_DIR, 'tests', 'installer', 'work');
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });

const PRODUCT = 'Kestovar Output Bridge';
const INSTALLER = `kestovar-output-bridge-${rig.VERSION}-win64.exe`;
const UNINSTALL_KEY = `HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${PRODUCT}`;
const RUN_KEY = 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run';
const DRIVE_C = path.join(rig.PREFIX, 'drive_c');
const PROGRAMS = path.join(DRIVE_C, 'ProgramData', 'Microsoft', 'Windows', 'Start Menu', 'Programs');
const SHORTCUT = path.join(PROGRAMS, `${PRODUCT}.lnk`);
const STATUS_SHORTCUT = path.join(PROGRAMS, `${PRODUCT} status.url`);
const DEFAULT_DIR = 'C:\\Program Files\\Kestovar Output Bridge';
const CUSTOM_DIR = 'C:\\Tarnwell tools ü 配信\\Output Bridge';
const MOVED_DIR = 'C:\\Tarnwell tools ü 配信\\Bridge moved';
const SETTINGS_DIR = path.join(DRIVE_C, 'ProgramData', 'Tarnwell', PRODUCT);
const SETTINGS_FILE = path.join(SETTINGS_DIR, 'settings.json');
const PROBE = path.join(rig.BUILD_DIR, 'tests', 'installer', 'security_descriptor_probe.exe');
const INSTALLER_FILES = ['Uninstall.exe', 'install.log'];
const USER_DIR = path.join(DRIVE_C, 'users', os.userInfo().username, 'AppData', 'Local', 'Tarnwell', PRODUCT);
const SETUP_LOG = path.join(DRIVE_C, 'users', os.userInfo().username, 'Temp', `${PRODUCT} setup.log`);

// A version as the two words of a version resource: major.minor, patch.0.
function versionWords(version) {
  const [major, minor, patch] = version.split('.').map(Number);
  return [major * 0x10000 + minor, patch * 0x10000];
}

function unixPath(windowsPath) {
  return path.join(DRIVE_C, ...windowsPath.slice(3).split('\\'));
}

// Runs a program with its arguments written exactly as given: Wine would quote an
// argument with spaces, and the installer takes /D= only unquoted and last, so the
// arguments go as words, which Wine joins with single spaces. (A batch file would not do:
// Wine's cmd reads it in the OEM code page, which has no room for most non-ASCII names.)
function runCommandLine(program, args) {
  return spawnSync(rig.WINE_EXEC, [rig.PREFIX, program, ...args.split(' ').filter(Boolean)],
    { env: rig.wineEnv(), stdio: 'ignore', timeout: 120000 }).status;
}

// umask 000 makes every folder Wine creates without permissions of its own writable by
// all, as a folder made below C:\ is on Windows.
function install(args = '', umask = process.umask()) {
  const before = process.umask(umask);
  try {
    return runCommandLine(path.join(work, 'package', INSTALLER), `/S ${args}`);
  } finally {
    process.umask(before);
  }
}

// The values of a registry key, by name ({} for a key without values), or null. Read
// through an export file, which is UTF-16: reg's console output is in the OEM code page.
function registryValues(key) {
  const file = path.join(work, 'export.reg');
  try {
    rig.runWindows('reg', ['export', key, rig.windowsPath(file), '/y']);
  } catch {
    return null;
  }
  const text = fs.readFileSync(file).toString('utf16le');
  const values = {};
  for (const m of text.matchAll(/^"((?:[^"\\]|\\.)*)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-f]{8}))\r?$/gm)) {
    const unescape = (t) => t.replace(/\\(.)/g, '$1');
    values[unescape(m[1])] = m[3] === undefined ? unescape(m[2]) : parseInt(m[3], 16);
  }
  return values;
}

// The owner, group and DACL of a file or folder as SDDL. Wine keeps no ACLs: it turns a
// DACL it is given into the Unix mode bits of the owner and of "other", and reports them
// back as ACEs for SYSTEM, the owner and Everyone (WD); Administrators, Users, the owner
// set and "inheritance off" are not kept.
function securityDescriptor(windowsPath) {
  return rig.runWindows(PROBE, [windowsPath]).toString().trim();
}

function installLog(dir) {
  return readLog(path.join(unixPath(dir), 'install.log'));
}

function readLog(file) {
  return fs.readFileSync(file).toString('utf16le').replace(/^\ufeff/, '');
}

function verifySignature(file) {
  return spawnSync('osslsigncode', ['verify', '-CAfile', path.join(work, 'cert.pem'), '-in', file], { encoding: 'utf8' });
}

// The uninstaller the Apps entry names, run the way Windows runs it; it hands over to a
// copy of itself and returns at once, so the test waits for the entry to go.
async function uninstall() {
  const [, program, args] = /^"([^"]+)"(.*)$/.exec(registryValues(UNINSTALL_KEY).QuietUninstallString);
  assert.equal(runCommandLine(program, args), 0);
  await rig.waitFor('the uninstaller to finish', () => registryValues(UNINSTALL_KEY) === null, 60000);
}

// What remains of an installation in a directory after the uninstaller.
async function assertRemoved(dir) {
  await rig.waitFor(`${dir} to be removed`, () => !fs.existsSync(unixPath(dir)), 30000);
  assert.equal(fs.existsSync(SHORTCUT), false, 'Start-menu shortcut removed');
  assert.equal(fs.existsSync(STATUS_SHORTCUT), false, 'status page shortcut removed');
  assert.equal(PRODUCT in (registryValues(RUN_KEY) || {}), false, 'no start at sign-in');
}

// A copy left by an earlier run goes first, the way it would on Windows.
test.before(async () => {
  if (registryValues(UNINSTALL_KEY)) await uninstall();
  if (fs.lstatSync(path.dirname(SETTINGS_DIR), { throwIfNoEntry: false })?.isSymbolicLink()) fs.unlinkSync(path.dirname(SETTINGS_DIR));
});

test('cpack makes the signed installer with its version resource', () => {
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
    '-keyout', path.join(work, 'key.pem'), '-out', path.join(work, 'cert.pem'),
    '-subj', '/CN=Kestovar test signing/O=Tarnwell', '-addext', 'extendedKeyUsage=codeSigning'], { stdio: 'ignore' });
  fs.writeFileSync(path.join(work, 'password'), 'throwaway\n');
  execFileSync('openssl', ['pkcs12', '-export', '-inkey', path.join(work, 'key.pem'), '-in', path.join(work, 'cert.pem'),
    '-out', path.join(work, 'cert.p12'), '-passout', 'pass:throwaway']);
  // Stored, not compressed: the same installer, made in a second rather than a minute.
  execFileSync('cpack', ['-G', 'NSIS', '--config', path.join(rig.BUILD_DIR, 'CPackConfig.cmake'),
    '-B', path.join(work, 'package'), '-D', 'CPACK_KESTOVAR_NSIS_COMPRESSION=SetCompress off'], {
    cwd: rig.BUILD_DIR,
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, KESTOVAR_SIGN_PKCS12: path.join(work, 'cert.p12'),
      KESTOVAR_SIGN_PASSWORD_FILE: path.join(work, 'password') },
  });
  assert.deepEqual(fs.readdirSync(path.join(work, 'package')).filter((f) => f.endsWith('.exe')), [INSTALLER]);
  const exe = path.join(work, 'package', INSTALLER);
  const verified = verifySignature(exe);
  assert.equal(verified.status, 0, verified.stdout + verified.stderr);
  assert.match(verified.stdout, /Subject: \/CN=Kestovar test signing\/O=Tarnwell/);

  const version = JSON.parse(execFileSync('/usr/bin/python3', ['-c', `
import json, sys, pefile
pe = pefile.PE(sys.argv[1])
fixed = pe.VS_FIXEDFILEINFO[0]
strings = {k.decode(): v.decode() for t in pe.FileInfo[0][0].StringTable for k, v in t.entries.items()}
icons = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == pefile.RESOURCE_TYPE['RT_GROUP_ICON']]
print(json.dumps([strings, fixed.ProductVersionMS, fixed.ProductVersionLS, len(icons)]))`, exe], { encoding: 'utf8' }));
  const [{ ProductName, CompanyName, ProductVersion }, ...fixed] = version;
  const iconGroups = fixed.pop();
  assert.deepEqual({ ProductName, CompanyName, ProductVersion, fixed, iconGroups },
    { ProductName: PRODUCT, CompanyName: 'Tarnwell', ProductVersion: rig.VERSION, fixed: versionWords(rig.VERSION), iconGroups: 1 });
});

test('malformed /PORT= and /ORIGINS=, and a folder that is not empty, are refused before anything changes', () => {
  assert.equal(install('/PORT=0'), 87);
  assert.equal(install('/PORT=17x'), 87);
  assert.equal(install('/PORT='), 87);
  assert.equal(install('/ORIGINS=null'), 87);
  assert.equal(install('/ORIGINS=https://app.example,,http://127.0.0.1:5173'), 87);
  assert.equal(install('/ORIGINS=http://127.0.0.1:5173/page'), 87);
  const taken = unixPath(CUSTOM_DIR);
  fs.mkdirSync(taken, { recursive: true });
  fs.writeFileSync(path.join(taken, 'notes.txt'), 'not the installer\'s\n');
  assert.equal(install(`/D=${CUSTOM_DIR}`), 145);
  assert.deepEqual(fs.readdirSync(taken), ['notes.txt']);
  fs.rmSync(path.dirname(taken), { recursive: true });
  assert.equal(registryValues(UNINSTALL_KEY), null);
  assert.equal(fs.existsSync(unixPath(DEFAULT_DIR)), false);
  assert.equal(fs.existsSync(SETTINGS_DIR), false);
});

test('silent install into Program Files, the Apps entry, and an uninstall that removes it all', async () => {
  rig.setNdiRuntimeDir(null);
  // A link in place of the Tarnwell folder is not followed. (Wine cannot remove a link to a
  // folder, so setup stops there; Windows removes the junction itself and goes on.)
  const tarnwell = path.dirname(SETTINGS_DIR);
  const victim = path.join(work, 'victim');
  fs.mkdirSync(path.join(victim, PRODUCT), { recursive: true });
  fs.writeFileSync(path.join(victim, PRODUCT, 'settings.json'), '{"port":1}');
  fs.symlinkSync(victim, tarnwell);
  assert.equal(install('/PORT=17490'), 5);
  assert.match(installLog(DEFAULT_DIR), /Machine settings folders: C:\\ProgramData\\Tarnwell: it is a junction or symbolic link/);
  assert.deepEqual([fs.readdirSync(path.join(victim, PRODUCT)), fs.readFileSync(path.join(victim, PRODUCT, 'settings.json'), 'utf8')],
    [['settings.json'], '{"port":1}'], 'nothing written through the link');
  // A Tarnwell folder made beforehand that every user may change, with a settings file of
  // theirs: taken over, and the file moved aside unread.
  fs.unlinkSync(tarnwell);
  fs.mkdirSync(SETTINGS_DIR, { recursive: true });
  fs.chmodSync(tarnwell, 0o777);
  fs.writeFileSync(SETTINGS_FILE, '{"origins":["https://planted.example"],"note":"theirs"}');
  assert.equal(install('/ORIGINS=http://127.0.0.1:5173,https://app.example /PORT=17490'), 0);
  assert.deepEqual(JSON.parse(fs.readFileSync(SETTINGS_FILE, 'utf8')),
    { origins: ['http://127.0.0.1:5173', 'https://app.example'], port: 17490 });
  assert.equal(fs.statSync(tarnwell).mode & 0o002, 0, 'Tarnwell taken over');
  const aside = fs.readdirSync(SETTINGS_DIR).filter((name) => name.startsWith('settings.json.untrusted-'));
  assert.equal(fs.readFileSync(path.join(SETTINGS_DIR, aside[0]), 'utf8'), '{"origins":["https://planted.example"],"note":"theirs"}');
  assert.match(installLog(DEFAULT_DIR), /Machine settings folders: C:\\ProgramData\\Tarnwell: Everyone may delete or rename it.*; taken over/);
  assert.ok(installLog(DEFAULT_DIR).includes(`moved to C:\\ProgramData\\Tarnwell\\${PRODUCT}\\${aside[0]}`), installLog(DEFAULT_DIR));
  const root = unixPath(DEFAULT_DIR);
  // The ZIP's tree and the installer's own two files; the project's executables signed,
  // every other file byte for byte.
  const tree = rig.listFiles(rig.STAGE_DIR);
  assert.deepEqual(rig.listFiles(root), [...tree, ...INSTALLER_FILES].sort());
  for (const file of tree) {
    const installed = path.join(root, file);
    if (/\.(exe|node)$/.test(file) && file !== path.join('runtime', 'kestovar-ndi-bridge.exe')) {
      assert.equal(verifySignature(installed).status, 0, `${file} is signed`);
    } else {
      assert.ok(fs.readFileSync(installed).equals(fs.readFileSync(path.join(rig.STAGE_DIR, file))), file);
    }
  }
  const bytes = rig.listFiles(root).reduce((sum, f) => sum + fs.statSync(path.join(root, f)).size, 0);
  const entry = registryValues(UNINSTALL_KEY);
  assert.ok(Math.abs(entry.EstimatedSize - bytes / 1024) < 64, `EstimatedSize ${entry.EstimatedSize} KB`);
  delete entry.EstimatedSize;
  assert.deepEqual(entry, {
    DisplayName: PRODUCT,
    DisplayVersion: rig.VERSION,
    Publisher: 'Tarnwell',
    DisplayIcon: `"${DEFAULT_DIR}\\${PRODUCT}.exe"`,
    InstallLocation: DEFAULT_DIR,
    UninstallString: `"${DEFAULT_DIR}\\Uninstall.exe"`,
    QuietUninstallString: `"${DEFAULT_DIR}\\Uninstall.exe" /S`,
    NoModify: 1,
    NoRepair: 1,
  });
  assert.ok(fs.existsSync(SHORTCUT), 'Start-menu shortcut for all users');
  assert.match(fs.readFileSync(STATUS_SHORTCUT, 'latin1'), /^\[InternetShortcut\]\r\nURL=http:\/\/127\.0\.0\.1:17480\/\r\n/);
  assert.equal(PRODUCT in (registryValues(RUN_KEY) || {}), false, 'start at sign-in is off unless asked');
  assert.match(installLog(DEFAULT_DIR), /NDI runtime not found: .* cannot publish video until the NDI Runtime/);
  assert.equal(verifySignature(path.join(root, 'Uninstall.exe')).status, 0, 'the uninstaller is signed');

  await uninstall();
  await assertRemoved(DEFAULT_DIR);
  assert.equal(fs.existsSync(path.dirname(SETTINGS_DIR)), false, 'the machine settings and their folders removed');
});

// The Unix process ids of the bridges running from dir.
function bridgeProcesses(dir) {
  return fs.readdirSync('/proc').filter((entry) => {
    try {
      const cmdline = fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8');
      return cmdline.includes(dir) && cmdline.includes('kestovar-ndi-bridge.exe');
    } catch {
      return false;
    }
  }).map(Number);
}

// The installed launcher, started as a user starts it: the bridge keeps its log and state
// file in the user's %LOCALAPPDATA%, or in stateDir (as another user's bridge would, for
// the stop tool that setup runs). Resolves with its state and Unix process id.
async function startInstalled(dir, stateDir = USER_DIR) {
  const running = bridgeProcesses(dir);
  const env = stateDir === USER_DIR ? {} : { KESTOVAR_BRIDGE_STATE_DIR: rig.windowsPath(stateDir) };
  const launch = spawnSync(rig.WINE_EXEC, [rig.PREFIX, `${dir}\\${PRODUCT}.exe`],
    { env: rig.wineEnv({ KESTOVAR_BRIDGE_PORT: '0', ...env }), stdio: 'ignore', timeout: 60000 });
  assert.equal(launch.status, 0, 'the launcher started the bridge');
  const state = await rig.waitFor('the bridge state file', () => readJson(path.join(stateDir, 'bridge.json')), 60000);
  const unixPid = await rig.waitFor('the bridge process', () => bridgeProcesses(dir).find((pid) => !running.includes(pid)), 30000);
  return { state, unixPid };
}

function readJson(file) {
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch {
    return null;
  }
}

// The bridge is gone because it was asked: its state file removed, its log says so.
async function assertStopped(bridge) {
  await rig.waitFor('the bridge process to end', () => !rig.processAlive(bridge.unixPid), 15000);
  assert.equal(fs.existsSync(path.join(USER_DIR, 'bridge.json')), false);
  const records = rig.bridgeRecords(rig.readText(path.join(USER_DIR, 'logs', 'bridge.log')));
  assert.ok(records.some((r) => r.pid === bridge.state.pid && r.event === 'shutdown' && r.reason === 'request'),
    `bridge ${bridge.state.pid} stopped by request`);
}

test('/D= elsewhere with start at sign-in; upgrades in place and to another folder, and the uninstall, stop the running bridge', async () => {
  fs.rmSync(USER_DIR, { recursive: true, force: true });
  rig.setNdiRuntimeDir(rig.standinDir('full'));
  // A parent folder made beforehand that every user may change (Everyone: modify,
  // 0x1301ff), and an empty folder in it: setup refuses, writes nothing, and says why in
  // its log in %TEMP%.
  const root = unixPath(CUSTOM_DIR);
  fs.mkdirSync(root, { recursive: true });
  fs.chmodSync(path.dirname(root), 0o777);
  assert.match(securityDescriptor(path.win32.dirname(CUSTOM_DIR)), /\(A;OICI;0x1301ff;;;WD\)$/);
  assert.equal(install(`/AUTOSTART=1 /PORT=17490 /D=${CUSTOM_DIR}`), 161);
  assert.deepEqual([fs.readdirSync(root), registryValues(UNINSTALL_KEY), fs.existsSync(SETTINGS_DIR)], [[], null, false]);
  assert.ok(readLog(SETUP_LOG).includes(`was not installed in ${CUSTOM_DIR}: ${path.win32.dirname(CUSTOM_DIR)}: Everyone may delete or rename it`), readLog(SETUP_LOG));
  // Every folder setup makes on the path is protected from its first moment, even where
  // it would inherit write access for every user.
  fs.rmSync(path.dirname(root), { recursive: true });
  assert.equal(install(`/AUTOSTART=1 /PORT=17490 /D=${CUSTOM_DIR}`, 0o000), 0);
  // Users' read access is not Everyone's, so Wine gives Everyone nothing.
  assert.match(securityDescriptor(CUSTOM_DIR), /^O:[^G]+G:\S+D:\(A;OICI;FA;;;SY\)\(A;OICI;FA;;;[^)]+\)$/);
  for (const dir of [path.dirname(root), root, path.dirname(SETTINGS_DIR), SETTINGS_DIR]) {
    assert.equal(fs.statSync(dir).mode & 0o002, 0, `no write permission for others on ${dir}`);
  }
  assert.ok(fs.existsSync(path.join(root, `${PRODUCT}.exe`)));
  assert.equal(registryValues(UNINSTALL_KEY).InstallLocation, CUSTOM_DIR);
  assert.equal(registryValues(RUN_KEY)[PRODUCT], `"${CUSTOM_DIR}\\${PRODUCT}.exe"`);
  const ndiDll = `${rig.windowsPath(rig.standinDir('full'))}\\Processing.NDI.Lib.x64.dll`;
  assert.ok(installLog(CUSTOM_DIR).includes(`NDI runtime found: ${ndiDll}`), installLog(CUSTOM_DIR));

  // A machine settings file in a folder every user may change is left out by the bridge.
  fs.chmodSync(SETTINGS_DIR, 0o777);
  const first = await startInstalled(CUSTOM_DIR);
  fs.chmodSync(SETTINGS_DIR, 0o755);
  assert.ok(rig.bridgeRecords(rig.readText(path.join(USER_DIR, 'logs', 'bridge.log'))).some((r) => r.event === 'settings_invalid'
    && r.file === `C:\\ProgramData\\Tarnwell\\${PRODUCT}\\settings.json` && /^its folder may be changed by users who are not administrators \(.*Everyone may/.test(r.reason)));

  // An upgrade checks the installed folder's path first: one every user may change is
  // refused before anything runs from it.
  fs.chmodSync(path.dirname(root), 0o777);
  assert.equal(install(), 161);
  fs.chmodSync(path.dirname(root), 0o755);
  assert.ok(readLog(SETUP_LOG).includes(`was not installed in ${CUSTOM_DIR}: ${path.win32.dirname(CUSTOM_DIR)}: Everyone may`));

  // A bridge that refuses to stop (its state file holds a wrong token): setup says why and
  // ends, and the installation is left as it was. The stop tool is the new package's: the
  // installed one, which would say yes, never runs.
  const otherUsers = await startInstalled(CUSTOM_DIR, path.join(work, 'state of another user'));
  const script = path.join(root, 'app', 'src', 'server.js');
  fs.appendFileSync(script, '\n// changed since\n');
  fs.writeFileSync(path.join(root, 'app', 'src', 'stop.js'), "console.log('kestovar stop: the installed copy ran');\n");
  const stateFile = path.join(USER_DIR, 'bridge.json');
  fs.writeFileSync(stateFile, JSON.stringify({ ...first.state, token: '0'.repeat(64) }));
  assert.equal(install(), 2);
  assert.match(installLog(CUSTOM_DIR), /Stop tool \(exit code 1\): kestovar stop: the bridge \(pid \d+\) refused the token/);
  assert.match(fs.readFileSync(script, 'utf8'), /changed since/);
  assert.ok(rig.processAlive(first.unixPid), 'the bridge still runs');

  // An upgrade over a running bridge, without /D=: stopped first, then every file replaced
  // where the installation is, a module of an earlier version gone; the start at sign-in
  // stays as chosen, and the machine settings keep what is not given again.
  fs.writeFileSync(stateFile, JSON.stringify(first.state));
  const retired = path.join(root, 'app', 'src', 'retired.js');
  fs.writeFileSync(retired, '// a module of an earlier version\n');
  // The bridge whose state file setup cannot read is ended.
  assert.equal(install('/ORIGINS=https://app.example'), 0);
  await rig.waitFor('the other bridge to end', () => !rig.processAlive(otherUsers.unixPid), 15000);
  assert.match(installLog(CUSTOM_DIR), new RegExp(`Stop tool \\(exit code 0\\): kestovar stop: the bridge \\(pid ${first.state.pid}\\) has stopped; ended the bridge processes \\(pid [\\d, ]*\\b${otherUsers.state.pid}\\b[\\d, ]*\\) of other users`));
  assert.deepEqual(JSON.parse(fs.readFileSync(SETTINGS_FILE, 'utf8')), { port: 17490, origins: ['https://app.example'] });
  await assertStopped(first);
  assert.ok(fs.readFileSync(script).equals(fs.readFileSync(path.join(rig.STAGE_DIR, 'app', 'src', 'server.js'))));
  assert.equal(fs.existsSync(retired), false);
  assert.equal(fs.existsSync(unixPath(DEFAULT_DIR)), false, 'nothing installed beside the first installation');
  assert.equal(registryValues(RUN_KEY)[PRODUCT], `"${CUSTOM_DIR}\\${PRODUCT}.exe"`);
  assert.match(installLog(CUSTOM_DIR), /Stop tool \(exit code 0\): kestovar stop: the bridge \(pid \d+\) has stopped/);

  // An upgrade given another folder stops the bridge and takes the old folder away.
  const second = await startInstalled(CUSTOM_DIR);
  assert.equal(install(`/D=${MOVED_DIR}`), 0);
  await assertStopped(second);
  assert.equal(fs.existsSync(root), false, 'the old folder is removed');
  assert.deepEqual(rig.listFiles(unixPath(MOVED_DIR)), [...rig.listFiles(rig.STAGE_DIR), ...INSTALLER_FILES].sort());
  assert.equal(registryValues(UNINSTALL_KEY).InstallLocation, MOVED_DIR);
  assert.equal(registryValues(RUN_KEY)[PRODUCT], `"${MOVED_DIR}\\${PRODUCT}.exe"`);
  assert.match(installLog(MOVED_DIR), new RegExp(`Stop tool \\(exit code 0\\): .*has stopped[^]*Removed the installation in ${CUSTOM_DIR.replace(/\\/g, '\\\\')}`));

  // The uninstaller stops it too, and leaves the user's logs; it removes nothing through a
  // link put in place of the Tarnwell folder.
  const third = await startInstalled(MOVED_DIR);
  const victim = path.join(work, 'victim');
  fs.renameSync(path.dirname(SETTINGS_DIR), path.join(work, 'Tarnwell as installed'));
  fs.symlinkSync(victim, path.dirname(SETTINGS_DIR));
  await uninstall();
  await assertStopped(third);
  await assertRemoved(MOVED_DIR);
  assert.equal(fs.readFileSync(path.join(victim, PRODUCT, 'settings.json'), 'utf8'), '{"port":1}');
  fs.unlinkSync(path.dirname(SETTINGS_DIR));
  assert.equal(rig.bridgeRecords(rig.readText(path.join(USER_DIR, 'logs', 'bridge.log')))
    .filter((r) => r.event === 'shutdown').length, 3, 'the logs of all runs are kept');
});
