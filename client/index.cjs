'use strict';
// CommonJS entry for Node.js: the module itself (require() loads an ES module without
// top-level await since Node.js 20.19 and 22.12), so that BridgeError is one class and
// `instanceof BridgeError` holds for every error the library gives.
module.exports = require('./index.mjs');
