'use strict';
// Kestovar Output Bridge server: the script the launcher starts in the bridge runtime. It
// is the monitor (monitor.js): the bridge itself runs in a child process
// (bridge-process.js), which comes back when it ends unexpectedly.
require('./monitor').runMonitor();
