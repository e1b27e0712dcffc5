'use strict';

// How busy the machine was during each phase of a run, and how much of that
// was this run (its processes and their children).

const fs = require('node:fs');
const common = require('../js/common');
const { log } = require('./process');

const TICKS_PER_S = 100; // USER_HZ in /proc/stat and /proc/self/stat

// CPU time of every process this driver has waited for, grandchildren included.
function childrenCpuTicks() {
  const stat = fs.readFileSync('/proc/self/stat', 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return Number(fields[13]) + Number(fields[14]); // cutime, cstime
}

// Runs one phase and records the machine's load around it.
function phase(name, fn) {
  log(`${name} ...`);
  const before = { stat: common.procStat(), load: common.loadavg(), ours: childrenCpuTicks(), at: Date.now() };
  const value = fn();
  const after = { stat: common.procStat(), load: common.loadavg(), ours: childrenCpuTicks(), at: Date.now() };
  const total = after.stat.total - before.stat.total;
  const busy = after.stat.busy - before.stat.busy;
  const ours = Math.min(busy, after.ours - before.ours);
  const load = {
    phase: name,
    seconds: (after.at - before.at) / 1000,
    loadavgBefore: before.load,
    loadavgAfter: after.load,
    busyPct: total ? (100 * busy) / total : null,
    thisRunPct: total ? (100 * ours) / total : null,
    othersPct: total ? (100 * Math.max(0, busy - ours)) / total : null,
    othersCores: total ? Math.max(0, busy - ours) / TICKS_PER_S / ((after.at - before.at) / 1000) : null,
  };
  log(
    `${name}: ${load.seconds.toFixed(1)} s, machine ${load.busyPct.toFixed(0)}% busy, others ` +
      `${load.othersPct.toFixed(0)}%`,
  );
  return { value, load };
}

module.exports = { phase };
