'use strict';
// What the benchmarks share: the build directory on their command line (argv[2], else
// KESTOVAR_BUILD, else build) set up for the rig before it loads, and the tree staged
// from it with its bridge on the stand-in runtime.
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const sourceDir = path.resolve(__dirname, '..');
const buildDir = path.resolve(sourceDir, process.argv[2] || process.env.KESTOVAR_BUILD || 'build');
process.env.KESTOVAR_BUILD_DIR ??= buildDir;
process.env.KESTOVAR_SOURCE_DIR ??= sourceDir;
process.env.KESTOVAR_WINE_PREFIX ??= path.join(buildDir, 'wineprefix');
const rig = require('../tests/rig');

function stageTree(label = 'bench') {
  console.log(`${label}: staging the installation tree from ${buildDir}`);
  execFileSync('cmake', ['--install', buildDir, '--prefix', rig.STAGE_DIR], { stdio: 'ignore' });
}

// Stages the installation tree and starts its bridge on the stand-in runtime; env adds
// to the bridge's environment.
async function startBenchBridge(name, env = {}) {
  stageTree();
  rig.setNdiRuntimeDir(rig.standinDir('full'));
  return rig.startBridge({ dir: path.join(buildDir, 'bench', name), env: { NDI_STANDIN_CHECKSUM: '0', ...env } });
}

module.exports = { buildDir, rig, stageTree, startBenchBridge, request: rig.request };
