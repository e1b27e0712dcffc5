#!/usr/bin/env node
'use strict';

// `npm run bench [-- --quick] [--out DIR] [--report-only] [--only fleet]`:
// builds the C++ floor benchmark (build-bench/, separate from build/), runs it
// and every script in bench/js in its own process, and writes results.json,
// results.md and SVG charts (gnuplot) to bench/results/ (bench/results/quick/
// for --quick).
//
// --only fleet runs the fleet phase alone (four servers behind one Redis) and
// prints its section of results.md and its targets, writing nothing.
//
// --report-only measures nothing: it reads the results.json already in the
// output directory and writes results.md and the charts again, as after a
// change to how they are written. It needs gnuplot, which a full run installs.
//
// Benchmarks report; they never fail on a missed target. Each phase records
// how busy the machine was, and how much of that was this run. The parts live
// in bench/driver: running scripts, the machine's load, the floor, targets,
// charts and results.md.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const common = require('./js/common');
const { charts } = require('./driver/charts');
const { buildFloor, runFloor, FLOOR_BIN } = require('./driver/floor');
const { phase } = require('./driver/machine-load');
const { markdown, fleetSection } = require('./driver/markdown');
const { log, runScript } = require('./driver/process');
const { derive, fleetTargets } = require('./driver/targets');

const { values: args } = parseArgs({
  options: {
    quick: { type: 'boolean', default: false },
    out: { type: 'string' },
    'report-only': { type: 'boolean', default: false },
    only: { type: 'string' },
  },
  strict: true,
});
const outDir = path.resolve(args.out ?? path.join(__dirname, 'results', args.quick ? 'quick' : ''));

// The derived figures, and the charts drawn into outDir.
function figures(r, tmp) {
  const d = derive(r);
  fs.mkdirSync(outDir, { recursive: true });
  return { d, chartFiles: charts(r, d, tmp, outDir) };
}

// Writes results.md and the charts again from an existing results.json.
function reportOnly() {
  const r = JSON.parse(fs.readFileSync(path.join(outDir, 'results.json'), 'utf8'));
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-bench-'));
  try {
    const { d, chartFiles } = figures(r, tmp);
    fs.writeFileSync(path.join(outDir, 'results.md'), markdown(r, d, chartFiles));
    log(`rewrote ${path.relative(common.ROOT, outDir)}: results.md, ${chartFiles.join(', ')}`);
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }
}

const logTargets = (targets) => {
  for (const t of targets) log(`${t.met ? 'met   ' : 'MISSED'} ${t.target}: ${t.figure}${t.why ? ` (${t.why})` : ''}`);
};

// The fleet phase alone: its section and targets on standard output.
function onlyFleet() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-bench-'));
  try {
    const r = { phases: [] };
    const { value, load } = phase('fleet', () => runScript('fleet.js', { quick: args.quick, tmp }));
    r.fleet = value;
    r.phases.push(load);
    process.stdout.write(`\n${fleetSection(r.fleet).join('\n')}\n`);
    logTargets(fleetTargets(r));
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }
}

function main() {
  if (args['report-only']) return reportOnly();
  if (args.only !== undefined) {
    if (args.only !== 'fleet') throw new Error('--only takes one value: fleet');
    return onlyFleet();
  }
  const started = Date.now();
  if (!fs.existsSync(common.MODULE_PATH)) {
    console.error(`bench: ${common.MODULE_PATH} is missing; run \`npm run build\` first`);
    process.exit(1);
  }
  log('building the floor benchmark (build-bench/) ...');
  buildFloor();

  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-bench-'));
  const script = (file, options = {}) => runScript(file, { quick: args.quick, tmp, ...options });
  const measuringFrom = Date.now();
  const r = { machine: common.machine(), quick: args.quick, loadavgBefore: common.loadavg(), phases: [], notes: [] };
  const take = (name, fn) => {
    const { value, load } = phase(name, fn);
    r.phases.push(load);
    return value;
  };
  r.floor = take('floor (C++)', () => runFloor(tmp, args.quick));
  r.sync = take('ms per call', () => script('sync.js'));
  r.paired = take('paired with the floor', () => script('paired.js', { extra: [`--floor=${FLOOR_BIN}`] }));
  r.refusals = take('refusals', () => script('refusals.js', { quietStderr: true }));
  r.load = take('load', () => script('load.js'));
  r.async = take('async scaling', () => script('async-scaling.js'));
  if (r.sync.asyncApi) {
    r.requestPath = take('request path', () => script('request-path.js'));
    // The target is judged with the young generation capped: V8 grows it with
    // the rate of calls, with or without a cache. Both runs are reported.
    r.cacheMemory = take('cache memory', () => ({
      capped: script('cache-memory.js', { nodeArgs: ['--expose-gc', '--max-semi-space-size=1'] }),
      v8Defaults: script('cache-memory.js', { nodeArgs: ['--expose-gc'] }),
    }));
    r.fleet = take('fleet', () => script('fleet.js'));
    if (r.fleet.skipped) r.notes.push(`The fleet phase did not run: ${r.fleet.skipped}.`);
  } else {
    r.notes.push('The package layer (lib/) was not there: async and request-path figures are missing.');
  }
  r.loadavgAfter = common.loadavg();
  r.durationS = { measuring: (Date.now() - measuringFrom) / 1000 };
  if (r.floor.context?.library_build_type === 'debug') {
    r.notes.push(
      "Debian's Google Benchmark calls itself a debug build; that affects its own bookkeeping, not the hashing it " +
        'times.',
    );
  }

  let drawn;
  try {
    drawn = figures(r, tmp);
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }
  const { d, chartFiles } = drawn;
  r.durationS.total = (Date.now() - started) / 1000;
  fs.writeFileSync(
    path.join(outDir, 'results.json'),
    `${JSON.stringify({ ...r, ratios: d.ratios, targets: d.targets }, null, 2)}\n`,
  );
  fs.writeFileSync(path.join(outDir, 'results.md'), markdown(r, d, chartFiles));

  log(
    `wrote ${path.relative(common.ROOT, outDir)}: results.md, results.json, ${chartFiles.join(', ')}; ` +
      `${r.durationS.total.toFixed(0)} s in all`,
  );
  if (r.quick) log('quick run: too few samples to judge targets by; these lines are a smoke check');
  logTargets(d.targets);
}

main();
