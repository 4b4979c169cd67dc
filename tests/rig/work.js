'use strict';
// Scratch directories under the build tree, one of its own for each run of a test or
// benchmark: a module copy the Windows node.exe has loaded cannot be deleted while it
// runs, so earlier runs' directories are cleared where they can be, and a new one is made.
const fs = require('node:fs');
const path = require('node:path');

const BUILD_DIR = path.resolve(process.env.KESTOVAR_BUILD_DIR || path.join(__dirname, '../../build'));

// <build>/tests/<area>/work/<name>-XXXXXX, new and empty.
function workDir(area, name) {
  const root = path.join(BUILD_DIR, 'tests', area, 'work');
  fs.mkdirSync(root, { recursive: true });
  for (const old of fs.readdirSync(root).filter((n) => n.startsWith(`${name}-`))) {
    try {
      fs.rmSync(path.join(root, old), { recursive: true, force: true });
    } catch {
      // still in use by a running test
    }
  }
  return fs.mkdtempSync(path.join(root, `${name}-`));
}

// A build of the stand-in NDI runtime (test equipment): full, noasync, nosend, decoy.
function standinDir(variant) {
  return path.join(BUILD_DIR, 'standin', variant);
}

module.exports = { BUILD_DIR, standinDir, workDir };
