'use strict';
// What the benchmarks measure with, in this machine's node and in node.exe under Wine.
const fs = require('node:fs');

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// Linux counts CPU time in clock ticks of 10 ms (USER_HZ 100).
const TICK_MS = 10;

// The CPU time (ms) of this machine's processes, summed by kind(commandLine, environ): the
// name of the group a process counts in, or null to leave it out (environ() gives its
// environment's entries). Under Wine that takes in the Wine server, whose work the Windows
// processes' own figures leave out. A process that ended meanwhile is not counted.
function processCpuMs(kind) {
  const cpu = {};
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const commandLine = fs.readFileSync(`/proc/${entry}/cmdline`, 'latin1');
      const name = kind(commandLine, () => fs.readFileSync(`/proc/${entry}/environ`, 'latin1').split('\0'));
      if (name === null) continue;
      const fields = fs.readFileSync(`/proc/${entry}/stat`, 'latin1').split(') ')[1].split(' ');
      cpu[name] = (cpu[name] ?? 0) + (Number(fields[11]) + Number(fields[12])) * TICK_MS;
    } catch {
      // not ours to read, or ended meanwhile
    }
  }
  return cpu;
}

module.exports = { median, processCpuMs };
