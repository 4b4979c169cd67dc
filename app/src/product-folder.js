'use strict';
// The product's folder under a Windows folder of application data: the user's
// (%LOCALAPPDATA%: state file, settings, logs) or the machine's (%ProgramData%: settings).
// The installer and the client library name the same folder.

const path = require('node:path');

const PRODUCT_FOLDER = ['Tarnwell', 'Kestovar Output Bridge'];

function productFolder(root) {
  return path.join(root, ...PRODUCT_FOLDER);
}

module.exports = { productFolder };
