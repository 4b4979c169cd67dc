'use strict';
// The test rig, one library for the tests and the benchmarks: Windows programs under Wine
// (wine.js), the registry value (registry.js), the installed bridge (installed-bridge.js),
// its clients (clients.js), the logs (logs.js), seeded data (random.js), waiting (wait.js),
// scratch directories (work.js).
module.exports = {
  ...require('./wine.js'),
  ...require('./registry.js'),
  ...require('./installed-bridge.js'),
  ...require('./clients.js'),
  ...require('./logs.js'),
  ...require('./random.js'),
  ...require('./wait.js'),
  ...require('./work.js'),
};
