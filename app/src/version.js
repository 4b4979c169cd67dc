'use strict';
// The product version the bridge reports (its log and status page); CMake checks that it
// is the project's version.
const VERSION = '0.1.2';

module.exports = { VERSION };
