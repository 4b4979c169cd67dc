'use strict';
// Running Windows programs from a test, in this machine's node (through Wine, in the
// build's prefix) or in the Windows node.exe (directly).
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const PREFIX = process.env.KESTOVAR_WINE_PREFIX;
const WINE_EXEC = path.join(__dirname, 'wine-exec');
const onWindows = process.platform === 'win32';

// A Unix path as Windows programs under Wine see it (drive Z: is /).
function windowsPath(unixPath) {
  return onWindows ? unixPath : 'Z:' + path.resolve(unixPath).replace(/\//g, '\\');
}

// Wine maps Unix file names through the locale; non-ASCII paths need a UTF-8 one.
function wineEnv(extra = {}) {
  return { ...process.env, LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8', ...extra };
}

// Runs a Windows program (a name on its PATH, or a path) and returns its output.
function runWindows(program, args, options = {}) {
  const common = { stdio: ['ignore', 'pipe', 'pipe'], ...options };
  if (onWindows) return execFileSync(program, args, common);
  return execFileSync(WINE_EXEC, [PREFIX, program, ...args], { env: wineEnv(options.env), ...common });
}

module.exports = { PREFIX, WINE_EXEC, windowsPath, wineEnv, runWindows };
