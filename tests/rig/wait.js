'use strict';
// Waiting helpers shared by the test drivers (Linux node and the Windows node.exe alike).

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Polls `probe` until it returns something truthy, and returns that; throws after timeoutMs.
async function waitFor(what, probe, timeoutMs = 60000, intervalMs = 25) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(intervalMs);
  }
}

module.exports = { sleep, waitFor };
