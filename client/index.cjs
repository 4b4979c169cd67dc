'use strict';
// CommonJS entry for Node.js: the same calls as index.mjs, loaded on first use.
const load = () => import('./index.mjs');

exports.connect = async (options) => (await load()).connect(options);
exports.stopBridge = async (options) => (await load()).stopBridge(options);
exports.readBridgeState = async (file) => (await load()).readBridgeState(file);
