'use strict';
// What the tests on the vendor's NDI runtime share (Linux node, run whole inside the
// private network namespace of tests/rig/vendor-netns): why they must skip, the runtime's
// folder, its own Wine prefix pointed at it, and the vendor finder (tests/vendor).
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const { PREFIX, WINE_EXEC, windowsPath, wineEnv } = require('./wine.js');
const { setNdiRuntimeDir } = require('./registry.js');
const { BUILD_DIR } = require('./work.js');
const { SOURCE_DIR } = require('./installed-bridge.js');
const FINDER = path.join(BUILD_DIR, 'tests', 'vendor', 'kestovar-vendor-finder.exe');

function netns(pid) {
  return fs.readlinkSync(`/proc/${pid}/ns/net`);
}

// The vendor runtime is loaded only when vendor-netns made a namespace and the prefix's
// wineserver runs in it, checked here once more: a server outside would put the runtime
// on the machine's own network.
function insideNamespace() {
  if (process.env.KESTOVAR_VENDOR_SKIP) return { skip: process.env.KESTOVAR_VENDOR_SKIP };
  if (process.env.KESTOVAR_VENDOR_NETNS !== '1') return { skip: 'not started by tests/rig/vendor-netns' };
  const server = Number(process.env.KESTOVAR_VENDOR_WINESERVER);
  let same = false;
  try {
    same = netns(server) === netns(process.pid);
  } catch {
    // the server is gone: not the one vendor-netns checked
  }
  if (!same) throw new Error(`REFUSED: the wineserver (pid ${server}) is not in this test's network namespace`);
  return {};
}

// { dir } with the vendor runtime's folder (fetched by vendor-netns before it made the
// namespace), or { skip: reason }.
function vendorRuntime() {
  const where = insideNamespace();
  if (where.skip) return where;
  if (!process.env.KESTOVAR_VENDOR_NDI_DIR) {
    return { skip: `the vendor runtime could not be had: ${process.env.KESTOVAR_VENDOR_NDI_ERROR || 'no reason given'}` };
  }
  return { dir: process.env.KESTOVAR_VENDOR_NDI_DIR };
}

// Points the test prefix's NDI_RUNTIME_DIR_V6 at the vendor folder (this prefix serves
// only these tests, so no other test sees it).
function useVendorRuntime(dir) {
  setNdiRuntimeDir(dir);
}

// Runs the vendor finder for up to ms (until a name containing each of `texts` shows).
// Resolves with what it found: { ms, name, bytes (the name exactly as the runtime gave
// it), address }.
function findSources(runtimeDir, ms, texts, outFile) {
  const args = [PREFIX, FINDER, windowsPath(runtimeDir), String(ms), ...texts];
  const out = fs.openSync(outFile, 'w');
  const child = spawn(WINE_EXEC, args, { env: wineEnv(), stdio: ['ignore', out, out] });
  fs.closeSync(out);
  return new Promise((resolve) => child.on('exit', () => {
    const lines = fs.readFileSync(outFile, 'latin1').split('\n');
    resolve(lines.filter((l) => l.startsWith('found ')).map((l) => {
      const [, ms, name, address] = /^found (\d+) (.*)\t(.*)$/.exec(l);
      const bytes = Buffer.from(name, 'latin1');
      return { ms: Number(ms), name: bytes.toString('utf8'), bytes, address };
    }));
  }));
}

// The Unix process id of the bridge runtime of the tree at root running in this network
// namespace (other tests may run bridges of the same tree outside it), or 0.
function bridgeProcess(root) {
  const exe = windowsPath(path.join(root, 'runtime', 'kestovar-ndi-bridge.exe'));
  for (const entry of fs.readdirSync('/proc').filter((e) => /^\d+$/.test(e))) {
    try {
      if (fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0')[0] === exe && netns(entry) === netns(process.pid)) return Number(entry);
    } catch {
      // gone meanwhile
    }
  }
  return 0;
}

// An NDI source's full name: the machine's name, then the sender's in brackets.
function sourceName(found, sender) {
  return found.find((f) => f.name.endsWith(` (${sender})`));
}

module.exports = {
  BUILD_DIR, SOURCE_DIR, PREFIX, WINE_EXEC, windowsPath, wineEnv, vendorRuntime, useVendorRuntime, findSources,
  sourceName, bridgeProcess,
};
