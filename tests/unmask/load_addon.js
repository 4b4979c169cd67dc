'use strict';
// The built addon, loaded the way the server script loads it.
const path = require('node:path');

module.exports = require(path.join(process.env.KESTOVAR_BUILD_DIR, 'native', 'ndi', 'quorvex.node'));
