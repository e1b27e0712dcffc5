'use strict';

// SVG charts of a run, drawn by gnuplot from data files written to tmp.

const fs = require('node:fs');
const path = require('node:path');
const { q, num } = require('./format');
const { run } = require('./process');
const { TARGETS } = require('./targets');

const CHARTS = path.join(__dirname, '..', 'charts');

function charts(r, d, tmp, outDir) {
  // ms per call: one row per operation/mode, one column triple per library.
  const libs = ['floor (C++)', 'ours', 'bcrypt', '@node-rs/bcrypt', 'bcryptjs'];
  const rows = [
    ['hash', 'sync'],
    ['check', 'sync'],
    ['hash', 'async'],
    ['check', 'async'],
  ];
  const lines = [['case', ...libs.flatMap((l) => [q(l), q(`${l} min`), q(`${l} max`)])].join(' ')];
  for (const [operation, mode] of rows) {
    const cells = libs.map((lib) => {
      if (lib.startsWith('floor')) return mode === 'sync' ? d.floor12.msPerHash : null;
      return r.sync.results.find((x) => x.library === lib && x.operation === operation && x.mode === mode)?.ms ?? null;
    });
    lines.push(
      [
        q(`${operation} (${mode})`),
        ...cells.flatMap((s) => (s ? [num(s.median), num(s.min), num(s.max)] : ['?', '?', '?'])),
      ].join(' '),
    );
  }
  const msFile = path.join(tmp, 'ms-per-call.dat');
  fs.writeFileSync(msFile, `${lines.join('\n')}\n`);

  // Per variant blocks for the async charts.
  const variants = [...new Set(r.async.results.map((x) => x.variant))];
  const blocks = variants.map((v) => {
    const rowsV = r.async.results
      .filter((x) => x.variant === v)
      .map((x) =>
        [
          x.inFlight,
          num(x.callsPerSecond.overall),
          num(x.callsPerSecond.min),
          num(x.callsPerSecond.max),
          num(x.eventLoopDelayMs.p50),
          num(x.eventLoopDelayMs.p99),
          num(x.eventLoopDelayMs.max),
        ].join(' '),
      );
    return [q(v), ...rowsV].join('\n');
  });
  const asyncFile = path.join(tmp, 'async.dat');
  fs.writeFileSync(asyncFile, `${blocks.join('\n\n\n')}\n`);

  const subtitle =
    `${r.machine.cpuModel}, ${r.machine.cores} cores, ` + `${r.machine.date.slice(0, 10)}${r.quick ? ', --quick' : ''}`;
  const gp = (script, output, vars) => {
    const set = Object.entries({ ...vars, chartdir: CHARTS, outfile: path.join(outDir, output), subtitle })
      .map(([k, v]) => `${k}=${typeof v === 'number' ? v : q(v)}`)
      .join('; ');
    run('gnuplot', ['-e', set, path.join(CHARTS, script)], { what: `gnuplot ${script}` });
  };
  gp('ms-per-call.gp', 'ms-per-call.svg', { datafile: msFile });
  const linetype = (v) =>
    v.startsWith('ours async')
      ? 2
      : v.startsWith('ours sync')
        ? 7
        : v.startsWith('bcrypt ')
          ? 3
          : v.startsWith('@node-rs')
            ? 4
            : 5;
  const linetypes = variants.map(linetype).join(' ');
  gp('async-throughput.gp', 'async-throughput.svg', {
    datafile: asyncFile,
    linetypes,
    floor1: d.floor12.hashesPerSecond.median,
    floor2: d.floor12x2.hashesPerSecond.median,
  });
  gp('event-loop-delay.gp', 'event-loop-delay.svg', { datafile: asyncFile, linetypes, target: TARGETS.eldP99Ms });
  const files = ['ms-per-call.svg', 'async-throughput.svg', 'event-loop-delay.svg'];

  if (r.requestPath) {
    // Requests per second and p99 latency, one bar pair per scenario.
    const rows = r.requestPath.scenarios.map((x) =>
      [q(x.label), num(x.requestsPerSecond.overall), num(Math.max(x.latencyMs.p99, 0.5))].join(' '),
    );
    const requestFile = path.join(tmp, 'request-path.dat');
    fs.writeFileSync(requestFile, `scenario "requests/s" "p99 ms"\n${rows.join('\n')}\n`);
    gp('request-path.gp', 'request-path.svg', { datafile: requestFile });
    files.push('request-path.svg');
  }
  if (r.cacheMemory?.capped) {
    // Three blocks: RSS capped, RSS with V8's defaults, heap in use (capped).
    const { capped, v8Defaults } = r.cacheMemory;
    const block = (title, run, key) => [q(title), ...run.samples.map((s) => `${s.codes} ${num(s[key])}`)].join('\n');
    const blocks = [block('RSS, young generation capped', capped, 'rssMiB')];
    if (v8Defaults) blocks.push(block("RSS, V8's defaults", v8Defaults, 'rssMiB'));
    blocks.push(block('JavaScript heap in use, capped', capped, 'heapUsedMiB'));
    const memoryFile = path.join(tmp, 'cache-memory.dat');
    fs.writeFileSync(memoryFile, `${blocks.join('\n\n\n')}\n`);
    gp('cache-memory.gp', 'cache-memory.svg', {
      datafile: memoryFile,
      blocks: blocks.length,
      limit: capped.baselineMiB + TARGETS.cacheRssGrowthMiB,
    });
    files.push('cache-memory.svg');
  }
  return files;
}

module.exports = { charts };
