#!/usr/bin/env node
'use strict';

// `npm run bench [-- --quick] [--out DIR] [--report-only]`: builds the C++
// floor benchmark
// (build-bench/, separate from build/), runs it and every script in bench/js
// in its own process, and writes results.json, results.md and SVG charts
// (gnuplot) to bench/results/ (bench/results/quick/ for --quick).
//
// Benchmarks report; they never fail on a missed target. Each phase records
// how busy the machine was, and how much of that was this run.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { parseArgs } = require('node:util');
const common = require('./js/common');

const ROOT = common.ROOT;
const BENCH_BUILD = path.join(ROOT, 'build-bench');
const FLOOR_BIN = path.join(BENCH_BUILD, 'bench', 'cpp', 'floor_benchmark');
const CHARTS = path.join(__dirname, 'charts');
const TICKS_PER_S = 100; // USER_HZ in /proc/stat and /proc/self/stat

const TARGETS = {
  syncVsFloor: 1.03,
  refusalUs: 20,
  loadMs: 5,
  asyncVsFloor2T: 0.95,
  eldP99Ms: 5,
};

const { values: args } = parseArgs({
  options: {
    quick: { type: 'boolean', default: false },
    out: { type: 'string' },
    'report-only': { type: 'boolean', default: false },
  },
  strict: true,
});
const outDir = path.resolve(args.out ?? path.join(__dirname, 'results', args.quick ? 'quick' : ''));

function log(message) {
  process.stdout.write(`bench: ${message}\n`);
}

function run(cmd, cmdArgs, { stdio = 'inherit', what = cmd } = {}) {
  const result = spawnSync(cmd, cmdArgs, { cwd: ROOT, stdio, encoding: 'utf8', maxBuffer: 64 * 2 ** 20 });
  if (result.error) throw new Error(`${what}: ${result.error.message}`);
  if (result.status !== 0) {
    const said = typeof result.stdout === 'string' ? result.stdout.slice(-2000) : '';
    throw new Error(`${what} exited with ${result.status ?? result.signal}${said ? `\n${said}` : ''}`);
  }
  return result;
}

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

function buildFloor() {
  run(path.join(ROOT, 'scripts', 'install-build-deps.sh'), ['libbenchmark-dev', 'gnuplot-nox'], {
    what: 'install-build-deps.sh',
  });
  run(
    'cmake',
    ['-S', ROOT, '-B', BENCH_BUILD, '-DCMAKE_BUILD_TYPE=Release', '-DHV_BUILD_BENCH=ON', '-DHV_BUILD_TESTS=OFF'],
    { stdio: ['ignore', 'ignore', 'inherit'], what: 'cmake configure (build-bench)' },
  );
  run('cmake', ['--build', BENCH_BUILD, '--target', 'floor_benchmark', '--parallel', '2'], {
    stdio: ['ignore', 'ignore', 'inherit'],
    what: 'cmake build floor_benchmark',
  });
}

function runFloor(tmp) {
  const out = path.join(tmp, 'floor.json');
  run(
    FLOOR_BIN,
    [
      `--benchmark_repetitions=${args.quick ? 3 : 5}`,
      `--benchmark_min_time=${args.quick ? 0.2 : 0.5}`,
      `--benchmark_out=${out}`,
      '--benchmark_out_format=json',
    ],
    { stdio: ['ignore', 'ignore', 'ignore'], what: 'floor_benchmark' },
  );
  const doc = JSON.parse(fs.readFileSync(out, 'utf8'));
  const groups = new Map();
  for (const b of doc.benchmarks.filter((x) => x.run_type === 'iteration')) {
    const list = groups.get(b.run_name) ?? [];
    list.push(b);
    groups.set(b.run_name, list);
  }
  const results = [...groups].map(([name, reps]) => {
    const m = /^BM_(\w+)\/cost:(\d+)\/real_time(?:\/threads:(\d+))?/.exec(name);
    const threads = Number(m[3] ?? 1);
    // With two threads Google Benchmark reports wall time per hash over both;
    // the time one hash takes is that times the threads.
    return {
      name,
      benchmark: m[1],
      cost: Number(m[2]),
      threads,
      msPerHash: common.summary(reps.map((r) => r.real_time * threads)),
      cpuMsPerHash: common.summary(reps.map((r) => r.cpu_time)),
      hashesPerSecond: common.summary(reps.map((r) => r.items_per_second)),
      iterationsPerRepetition: reps[0].iterations,
    };
  });
  return { context: doc.context, results };
}

function runScript(file, tmp, { quietStderr = false, extra = [] } = {}) {
  const out = path.join(tmp, `${path.basename(file, '.js')}.json`);
  const cmdArgs = [path.join(__dirname, 'js', file), `--out=${out}`, ...(args.quick ? ['--quick'] : []), ...extra];
  run(process.execPath, cmdArgs, { stdio: ['ignore', 'pipe', quietStderr ? 'ignore' : 'inherit'], what: file });
  return JSON.parse(fs.readFileSync(out, 'utf8'));
}

// ---- figures and targets ---------------------------------------------------

const fmt = (x, digits = 1) => (x === null || x === undefined || !Number.isFinite(x) ? 'n/a' : x.toFixed(digits));
const spread = (s, digits = 1) => `${fmt(s.median, digits)} (${fmt(s.min, digits)}–${fmt(s.max, digits)})`;

// Ratios are reported to three decimals and judged at that precision, so a
// table never shows "1.000×" beside a miss of a target of 1.
const atMost = (x, limit) => Math.round(x * 1000) <= Math.round(limit * 1000);
const atLeast = (x, limit) => Math.round(x * 1000) >= Math.round(limit * 1000);

function derive(r) {
  const floor = (bench, cost, threads = 1) =>
    r.floor.results.find((x) => x.benchmark === bench && x.cost === cost && x.threads === threads);
  const f12 = floor('CryptRn', 12);
  const f10 = floor('CryptRn', 10);
  const f12x2 = floor('CryptRn', 12, 2);
  const find = (library, operation, mode) =>
    r.sync.results.find((x) => x.library === library && x.operation === operation && x.mode === mode);
  const ratios = [];
  for (const x of r.sync.results) {
    const ours = find('ours', x.operation === 'check-cost10' ? 'check' : x.operation, x.mode);
    const floorFor = x.operation === 'check-cost10' ? f10 : f12;
    x.vsFloor = x.mode === 'sync' ? x.ms.median / floorFor.msPerHash.median : null;
    x.cpuVsFloor = x.mode === 'sync' ? x.cpuMsPerCall / floorFor.cpuMsPerHash.median : null;
    x.vsOurs = x.library === 'ours' || !ours ? null : x.ms.median / ours.ms.median;
    x.cpuVsOurs = x.library === 'ours' || !ours ? null : x.cpuMsPerCall / ours.cpuMsPerCall;
  }
  const peersSync = (operation) =>
    r.sync.results.filter((x) => x.library !== 'ours' && x.mode === 'sync' && x.operation === operation);
  const fastest = (operation, key) => peersSync(operation).reduce((a, b) => (key(b) < key(a) ? b : a));
  // Ours over a peer, round by round (each round runs every task once, so the
  // two sides of a ratio are seconds apart), then the median over rounds.
  const perRound = (ours, peer, key) => common.summary(ours.rounds.map((o, i) => o[key] / peer.rounds[i][key]));
  for (const operation of ['hash', 'check']) {
    const ours = find('ours', operation, 'sync');
    // The peer that beats us most when alternated call by call (paired.js);
    // without those figures, round by round from the ms-per-call run.
    const alternated = (r.paired.peers ?? []).filter((x) => x.operation === operation);
    const worst = alternated.reduce((a, b) => (a && a.oursOverPeer.median >= b.oursOverPeer.median ? a : b), null);
    const peer = fastest(operation, (x) => x.ms.median);
    ratios.push({
      operation,
      oursMs: ours.ms.median,
      floorMs: f12.msPerHash.median,
      vsFloor: ours.vsFloor,
      cpuVsFloor: ours.cpuVsFloor,
      fastestPeer: worst ? worst.library : peer.library,
      vsFastestPeer: worst ? worst.oursOverPeer : perRound(ours, peer, 'ms'),
      cpuVsFastestPeer: worst ? worst.cpuOursOverPeer : perRound(ours, peer, 'cpuMs'),
      alternated,
    });
  }
  const asyncOurs = r.async.results.filter((x) => x.variant.startsWith('ours async'));
  const at16 = asyncOurs.find((x) => x.inFlight === 16);
  const refusals = r.refusals.results.filter((x) => !x.name.includes('async'));
  const worstRefusal = refusals.reduce((a, b) => (b.us.median > a.us.median ? b : a));
  const moduleLoad = r.load.results.find((x) => x.name.includes('header_validator.node'));
  const check = ratios.find((x) => x.operation === 'check');
  const hash = ratios.find((x) => x.operation === 'hash');
  const p = r.paired.sync;
  const pct = Math.round((TARGETS.syncVsFloor - 1) * 100);
  const targets = [
    {
      target: `sync check within ${pct}% of the floor (paired)`,
      figure:
        `${fmt(p.checkVsFloor.median, 3)}× (pairs ` +
        `${fmt(p.checkVsFloor.min, 3)}–${fmt(p.checkVsFloor.max, 3)}; ` +
        `CPU time ${fmt(p.checkCpuVsFloor.median, 3)}×)`,
      met: atMost(p.checkVsFloor.median, TARGETS.syncVsFloor),
    },
    {
      target: `sync hash within ${pct}% of the floor (paired)`,
      figure:
        `${fmt(p.hashVsFloor.median, 3)}× (pairs ${fmt(p.hashVsFloor.min, 3)}–${fmt(p.hashVsFloor.max, 3)}; ` +
        `CPU time ${fmt(p.hashCpuVsFloor.median, 3)}×)`,
      met: atMost(p.hashVsFloor.median, TARGETS.syncVsFloor),
    },
    ...[check, hash].map((x) => ({
      target: `sync ${x.operation} no slower than the fastest peer (paired)`,
      figure:
        `${fmt(x.vsFastestPeer.median, 3)}× ${x.fastestPeer} (pairs ` +
        `${fmt(x.vsFastestPeer.min, 3)}–${fmt(x.vsFastestPeer.max, 3)}; CPU time ` +
        `${fmt(x.cpuVsFastestPeer.median, 3)}×)`,
      met: atMost(x.vsFastestPeer.median, 1),
    })),
    {
      target: `refusal under ${TARGETS.refusalUs} µs`,
      figure: `slowest: ${worstRefusal.name}, ${fmt(worstRefusal.us.median, 2)} µs`,
      met: worstRefusal.us.median < TARGETS.refusalUs,
    },
    {
      target: `load under ${TARGETS.loadMs} ms above node -e 0`,
      figure: `${fmt(moduleLoad.processMsOverNode, 1)} ms (require alone ${fmt(moduleLoad.requireMs.median, 1)} ms)`,
      met: moduleLoad.processMsOverNode < TARGETS.loadMs,
    },
  ];
  const pa = r.paired.async;
  if (at16 && pa) {
    targets.push(
      {
        target: `async throughput at 16 in flight ≥ ${TARGETS.asyncVsFloor2T} × floor's two-thread (paired)`,
        figure:
          `${fmt(pa.ratio.median, 3)}× (pairs ${fmt(pa.ratio.min, 3)}–${fmt(pa.ratio.max, 3)}; ` +
          `${fmt(pa.oursPerSecond.median, 2)} vs ${fmt(pa.floorPerSecond.median, 2)} calls/s)`,
        met: atLeast(pa.ratio.median, TARGETS.asyncVsFloor2T),
      },
      {
        target: `event-loop delay p99 under ${TARGETS.eldP99Ms} ms, pool saturated`,
        figure: `${fmt(at16.eventLoopDelayMs.p99, 2)} ms at 16 in flight (max ${fmt(at16.eventLoopDelayMs.max, 1)} ms)`,
        met: at16.eventLoopDelayMs.p99 < TARGETS.eldP99Ms,
      },
    );
  }
  explainMisses(r, targets, { p, check, hash, f12, pa });
  return { ratios, targets, floor12: f12, floor10: f10, floor12x2: f12x2 };
}

// Why a target was missed, from this run's own figures where they tell.
function explainMisses(r, targets, { p, check, hash, pa }) {
  const others = (name) => r.phases.find((x) => x.phase === name)?.othersCores ?? 0;
  const busy = (name) => (others(name) > 0.1 ? `other processes used ${fmt(others(name), 2)} cores meanwhile` : null);
  const why = [
    (p.checkCpuVsFloor.median <= TARGETS.syncVsFloor
      ? `CPU time is within it (${fmt(p.checkCpuVsFloor.median, 3)}×): the wall-clock gap is time spent off the core`
      : `CPU time is over too (${fmt(p.checkCpuVsFloor.median, 3)}×), though the module adds about 0.01% to a ` +
        `hash's instructions (README)`) + (busy('paired with the floor') ? `; ${busy('paired with the floor')}` : ''),
    (p.hashCpuVsFloor.median <= TARGETS.syncVsFloor
      ? `CPU time is within it (${fmt(p.hashCpuVsFloor.median, 3)}×): the wall-clock gap is time spent off the core`
      : `CPU time is over too (${fmt(p.hashCpuVsFloor.median, 3)}×), though the module adds about 0.01% to a ` +
        `hash's instructions (README)`) + (busy('paired with the floor') ? `; ${busy('paired with the floor')}` : ''),
    ...[check, hash].map((x) => {
      const within = x.vsFastestPeer.min <= 1 && x.vsFastestPeer.max >= 1;
      return (
        `${fmt((x.vsFastestPeer.median - 1) * 100, 1)}% over ${x.fastestPeer}` +
        (within
          ? `, inside the pairs' own spread (${fmt(x.vsFastestPeer.min, 3)}–${fmt(x.vsFastestPeer.max, 3)}): the ` +
            `two are level within what this machine can tell`
          : '') +
        (busy('paired with the floor') ? `; ${busy('paired with the floor')}` : '')
      );
    }),
    busy('refusals') ?? '',
    'the load is the token table build: every token is made into a JavaScript array and read back through Node-API ' +
      'one element at a time' +
      (busy('load') ? `; ${busy('load')}` : ''),
    pa ? (busy('paired with the floor') ?? '') : '',
    busy('async scaling')
      ? `the main thread shares the cores with both pool threads, and ${busy('async scaling')}`
      : 'the main thread shares the cores with both pool threads',
  ];
  targets.forEach((t, i) => {
    t.why = t.met ? '' : (why[i] ?? '');
  });
}

// ---- charts ------------------------------------------------------------------

function q(s) {
  return `"${String(s).replace(/"/g, "'")}"`;
}
const num = (x) => (x === null || x === undefined || !Number.isFinite(x) ? '?' : x.toPrecision(6));

function charts(r, d, tmp) {
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
  return ['ms-per-call.svg', 'async-throughput.svg', 'event-loop-delay.svg'];
}

// ---- results.md --------------------------------------------------------------

function table(head, rowsT) {
  return [
    `| ${head.join(' | ')} |`,
    `|${head.map(() => '---').join('|')}|`,
    ...rowsT.map((row) => `| ${row.join(' | ')} |`),
  ].join('\n');
}

function markdown(r, d, chartFiles) {
  const m = r.machine;
  const out = [];
  out.push('# Benchmark results', '');
  out.push(
    `Run of \`npm run bench${r.quick ? ' -- --quick' : ''}\` on ${m.date} (UTC). Machine: ${m.cpuModel}, ` +
      `${m.cores} cores, ${m.memoryGiB} GiB, Linux ${m.kernel}, Node.js ${m.node}. ` +
      `Whole run: ${fmt(r.durationS.total, 0)} s (measuring ${fmt(r.durationS.measuring, 0)} s).`,
    '',
  );
  if (r.quick) {
    out.push(
      '**Quick run**: a few samples per figure, enough to see that everything runs, too few to judge a target by; ' +
        'a ratio can move by several percent from one quick run to the next. Judge targets on a full run.',
      '',
    );
  }
  out.push(
    'Every figure is the median of several samples, with the smallest and largest in brackets. Wall-clock figures ' +
      'depend on what else runs on the machine; CPU-time figures (time the process spent on a core) much less so.',
    '',
  );

  out.push('## How busy the machine was', '');
  out.push(
    `Load average (1, 5, 15 min) before: ${r.loadavgBefore.join(', ')}; after: ${r.loadavgAfter.join(', ')}. ` +
      'Per phase, the share of both cores in use, by this run (its processes and their children) and by everything ' +
      'else:',
    '',
  );
  out.push(
    table(
      ['phase', 's', 'load avg 1 min before → after', 'cores busy', 'this run', 'others', 'others (cores)'],
      r.phases.map((l) => [
        l.phase,
        fmt(l.seconds, 1),
        `${l.loadavgBefore[0]} → ${l.loadavgAfter[0]}`,
        `${fmt(l.busyPct, 0)}%`,
        `${fmt(l.thisRunPct, 0)}%`,
        `${fmt(l.othersPct, 0)}%`,
        fmt(l.othersCores, 2),
      ]),
    ),
    '',
  );
  const noisy = r.phases.some((l) => l.othersCores > 0.1);
  out.push(
    noisy
      ? '**Other processes used the machine during this run** (see "others"): wall-clock figures and their ratios ' +
          'carry that noise, ' +
          'two-thread and pool throughput most of all (the machine has only two cores). The CPU-time ratios are ' +
          'the steadier comparison.'
      : 'Other processes used less than a tenth of a core in every phase.',
    '',
  );

  out.push('## Targets', '');
  out.push(
    table(
      ['target', 'this run', 'met', 'if missed, why'],
      d.targets.map((t) => [t.target, t.figure, t.met ? 'yes' : '**no**', t.why]),
    ),
    '',
  );
  out.push(
    "Targets are reported, never asserted. The README's Benchmarks section has what the investigation of the " +
      'misses found.',
    '',
  );

  out.push('## Floor: libxcrypt crypt_rn in C++ (Google Benchmark)', '');
  out.push(
    `Repetitions: ${r.quick ? 3 : 5}. "ms per hash" is the wall time of one hash; with two threads, two run at once. ` +
      "Core* rows run the module's own Node-free wrapper (src/bcrypt) on the same input.",
    '',
  );
  out.push(
    table(
      ['benchmark', 'cost', 'threads', 'ms per hash', 'CPU ms per hash', 'hashes/s (all threads)'],
      r.floor.results.map((x) => [
        x.benchmark,
        x.cost,
        x.threads,
        spread(x.msPerHash, 1),
        fmt(x.cpuMsPerHash.median, 1),
        spread(x.hashesPerSecond, 2),
      ]),
    ),
    '',
  );

  out.push('## ms per call at cost 12: ours, the peers and the floor', '');
  out.push(
    `${r.sync.samplesPerTask} samples per row over ${r.sync.rounds} interleaved round(s) after warm-up ` +
      `(tinybench). "vs floor" divides by crypt_rn at the same cost ` +
      `as measured in the floor phase (${fmt(d.floor12.msPerHash.median, 1)} ms at 12, ` +
      `${fmt(d.floor10.msPerHash.median, 1)} ms at 10), minutes earlier: the paired section below ` +
      'is the like-for-like comparison. "vs ours" divides by our call of the same kind (above 1: slower than ' +
      'ours). Async rows have one call in flight. ' +
      'CPU ms per call counts every thread of the process.',
    '',
  );
  out.push(
    table(
      [
        'library',
        'call',
        'mode',
        'ms per call',
        'vs floor',
        'vs ours',
        'CPU ms per call',
        'CPU vs floor',
        'CPU vs ours',
      ],
      r.sync.results.map((x) => [
        x.library,
        x.operation === 'check-cost10' ? 'check, cost-10 code' : x.operation,
        x.mode,
        spread(x.ms, 1),
        fmt(x.vsFloor, 3),
        fmt(x.vsOurs, 3),
        fmt(x.cpuMsPerCall, 1),
        fmt(x.cpuVsFloor, 3),
        fmt(x.cpuVsOurs, 3),
      ]),
    ),
    '',
  );
  out.push(`![ms per call](${chartFiles[0]})`, '');

  out.push('## Ours against the floor, paired', '');
  out.push(
    `The ratios the targets use. Against the floor, each pair times the floor (floor_benchmark, a child process) ` +
      `and our call one right after the other, ` +
      'in turn first, and divides within the pair, so that load drifting over the run hits both sides of each ' +
      'ratio alike. Against the peers, one call of ours and one of theirs, ' +
      'in turn first. Median ratio (smallest–largest pair); below 1, ours is faster.',
    '',
  );
  const ps = r.paired.sync;
  const rowsP = [
    [
      'validateRequest (sync) / crypt_rn, 1 thread',
      spread(ps.checkVsFloor, 3),
      spread(ps.checkCpuVsFloor, 3),
      `${fmt(ps.checkMs.median, 1)} / ${fmt(ps.floorMs.median, 1)} ms, ${r.paired.pairs} pairs`,
    ],
    [
      'generateAuthCode (sync) / crypt_rn, 1 thread',
      spread(ps.hashVsFloor, 3),
      spread(ps.hashCpuVsFloor, 3),
      `${fmt(ps.hashMs.median, 1)} / ${fmt(ps.floorMs.median, 1)} ms, ${r.paired.pairs} pairs`,
    ],
  ];
  for (const x of r.paired.peers ?? []) {
    rowsP.push([
      `${x.operation === 'check' ? 'validateRequest' : 'generateAuthCode'} / ${x.library} ` +
        `${x.operation === 'check' ? (x.library === 'bcrypt' ? 'compareSync' : 'verifySync') : 'hashSync'}`,
      spread(x.oursOverPeer, 3),
      spread(x.cpuOursOverPeer, 3),
      `${x.pairs} pairs`,
    ]);
  }
  if (r.paired.async) {
    const pa = r.paired.async;
    rowsP.push([
      `validateRequestAsync, ${pa.inFlight} in flight / crypt_rn, ${pa.threads} threads (calls/s)`,
      spread(pa.ratio, 3),
      'n/a',
      `${fmt(pa.oursPerSecond.median, 2)} / ${fmt(pa.floorPerSecond.median, 2)} calls/s, ` +
        `${pa.pairs ?? r.paired.pairs} pairs`,
    ]);
  }
  out.push(table(['ratio', 'wall clock', 'CPU time', 'figures'], rowsP), '');

  out.push('## Refusals (no bcrypt work)', '');
  out.push(
    "Microseconds per call, each sample the mean of a batch of calls; the module's standard error went to /dev/null.",
    '',
  );
  out.push(
    table(
      ['case', 'µs per call', 'batch'],
      r.refusals.results.map((x) => [x.name, spread(x.us, 2), x.batch]),
    ),
    '',
  );

  out.push('## Load', '');
  out.push(
    '"process" is the wall time of a whole `node -e` process; "above node -e 0" is the median of the differences ' +
      'between runs made one ' +
      'right after the other; "require" is the require alone, timed inside a fresh process; RSS after the require, ' +
      'and what the require added.',
    '',
  );
  out.push(
    table(
      ['what', 'process ms', 'above node -e 0 (ms)', 'require ms', 'RSS MiB', 'RSS added MiB'],
      r.load.results.map((x) => [
        x.name,
        spread(x.processMs, 1),
        x.processMsOverNodeRange ? spread(x.processMsOverNodeRange, 1) : fmt(x.processMsOverNode, 1),
        spread(x.requireMs, 2),
        fmt(x.rssMiB.median, 1),
        fmt(x.rssAddedMiB.median, 2),
      ]),
    ),
    '',
  );

  out.push('## Async scaling and event-loop delay', '');
  out.push(
    `Each level keeps k calls in flight (a finished call starts the next) for ${r.async.warmupMs} ` +
      `ms${r.async.warmupMsPerCallInFlight ? ` + k × ${r.async.warmupMsPerCallInFlight} ms` : ''} of warm-up, then ` +
      `${r.async.windowMs} ms measured; ` +
      `calls/s is over the whole window, with the spread over ${r.quick ? 'it' : 'three equal parts of it'}. Our ` +
      `pool has ${r.async.threads} threads; ` +
      `bcrypt and @node-rs/bcrypt use libuv's pool (${r.async.uvThreadpoolSize} threads). The sync row runs k ` +
      `calls back to back, then yields, as a server checking synchronously would. ` +
      `Event-loop delay is perf_hooks.monitorEventLoopDelay at ${r.async.eldResolutionMs} ms resolution; its ` +
      `figures include that interval. ` +
      `Floor for comparison: ${fmt(d.floor12.hashesPerSecond.median, 2)} hashes/s on one thread, ` +
      `${fmt(d.floor12x2.hashesPerSecond.median, 2)} on two.`,
    '',
  );
  out.push(
    table(
      ['variant', 'in flight', 'calls/s', 'speed-up over 1', 'vs floor 2 threads', 'delay p50 ms', 'p99 ms', 'max ms'],
      r.async.results.map((x) => [
        x.variant,
        x.inFlight,
        `${fmt(x.callsPerSecond.overall, 2)} (${fmt(x.callsPerSecond.min, 2)}–${fmt(x.callsPerSecond.max, 2)})`,
        fmt(x.speedup, 2),
        fmt(x.callsPerSecond.overall / d.floor12x2.hashesPerSecond.median, 3),
        fmt(x.eventLoopDelayMs.p50, 2),
        fmt(x.eventLoopDelayMs.p99, 2),
        fmt(x.eventLoopDelayMs.max, 1),
      ]),
    ),
    '',
  );
  out.push(`![throughput](${chartFiles[1]})`, '', `![event-loop delay](${chartFiles[2]})`, '');

  if (r.middleware) {
    out.push('## Middleware under load (node:http, autocannon on 127.0.0.1)', '');
    out.push(
      `${r.middleware.seconds} s per scenario; requests/s over the whole run, with the median and range of ` +
        `autocannon's once-a-second counts. ` +
        `During the 16-connection valid-code run a second autocannon sent ` +
        `${r.middleware.results.find((x) => x.health)?.health.rate ?? 'n/a'} requests/s to /health, which the ` +
        `middleware skips.`,
      '',
    );
    const rowsM = [];
    for (const x of r.middleware.results) {
      const statuses = Object.entries(x.statusCodes ?? {})
        .map(([code, v]) => `${code}×${v.count}`)
        .join(', ');
      rowsM.push([
        x.name,
        `${fmt(x.requestsPerSecond.overall, 1)} (${x.requestsPerSecond.min}–${x.requestsPerSecond.max})`,
        fmt(x.latencyMs.p50, 0),
        fmt(x.latencyMs.p90, 0),
        fmt(x.latencyMs.p99, 0),
        fmt(x.latencyMs.max, 0),
        statuses,
        `${fmt(x.eventLoopDelayMs.p50, 2)} / ${fmt(x.eventLoopDelayMs.p99, 2)} / ${fmt(x.eventLoopDelayMs.max, 1)}`,
      ]);
      if (x.health) {
        const h = x.health;
        rowsM.push([
          `↳ /health meanwhile`,
          `${fmt(h.requestsPerSecond.overall, 1)}`,
          fmt(h.latencyMs.p50, 0),
          fmt(h.latencyMs.p90, 0),
          fmt(h.latencyMs.p99, 0),
          fmt(h.latencyMs.max, 0),
          Object.entries(h.statusCodes ?? {})
            .map(([code, v]) => `${code}×${v.count}`)
            .join(', '),
          '',
        ]);
      }
    }
    out.push(
      table(
        [
          'scenario',
          'requests/s',
          'latency p50 ms',
          'p90 ms',
          'p99 ms',
          'max ms',
          'statuses',
          'server loop delay p50 / p99 / max ms',
        ],
        rowsM,
      ),
      '',
    );
  }

  if (r.notes.length) out.push('## Notes', '', ...r.notes.map((n) => `- ${n}`), '');
  return `${out.join('\n')}\n`;
}

// ---- main --------------------------------------------------------------------

// Writes results.md and the charts again from an existing results.json.
function reportOnly() {
  const r = JSON.parse(fs.readFileSync(path.join(outDir, 'results.json'), 'utf8'));
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-bench-'));
  const d = derive(r);
  const chartFiles = charts(r, d, tmp);
  fs.rmSync(tmp, { recursive: true, force: true });
  fs.writeFileSync(path.join(outDir, 'results.md'), markdown(r, d, chartFiles));
  log(`rewrote ${path.relative(ROOT, outDir)}: results.md, ${chartFiles.join(', ')}`);
}

function main() {
  if (args['report-only']) return reportOnly();
  const started = Date.now();
  if (!fs.existsSync(common.MODULE_PATH)) {
    console.error(`bench: ${common.MODULE_PATH} is missing; run \`npm run build\` first`);
    process.exit(1);
  }
  log('building the floor benchmark (build-bench/) ...');
  buildFloor();

  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-bench-'));
  const measuringFrom = Date.now();
  const r = { machine: common.machine(), quick: args.quick, loadavgBefore: common.loadavg(), phases: [], notes: [] };
  const take = (name, fn) => {
    const { value, load } = phase(name, fn);
    r.phases.push(load);
    return value;
  };
  r.floor = take('floor (C++)', () => runFloor(tmp));
  r.sync = take('ms per call', () => runScript('sync.js', tmp));
  r.paired = take('paired with the floor', () => runScript('paired.js', tmp, { extra: [`--floor=${FLOOR_BIN}`] }));
  r.refusals = take('refusals', () => runScript('refusals.js', tmp, { quietStderr: true }));
  r.load = take('load', () => runScript('load.js', tmp));
  r.async = take('async scaling', () => runScript('async-scaling.js', tmp));
  r.middleware = r.sync.asyncApi ? take('middleware', () => runScript('middleware.js', tmp)) : null;
  r.loadavgAfter = common.loadavg();
  r.durationS = { measuring: (Date.now() - measuringFrom) / 1000 };
  if (!r.sync.asyncApi)
    r.notes.push('The package layer (lib/) was not there: async and middleware figures are missing.');
  if (r.floor.context?.library_build_type === 'debug') {
    r.notes.push(
      "Debian's Google Benchmark calls itself a debug build; that affects its own bookkeeping, not the hashing it " +
        'times.',
    );
  }

  const d = derive(r);
  fs.mkdirSync(outDir, { recursive: true });
  const chartFiles = charts(r, d, tmp);
  fs.rmSync(tmp, { recursive: true, force: true });
  r.durationS.total = (Date.now() - started) / 1000;
  fs.writeFileSync(
    path.join(outDir, 'results.json'),
    `${JSON.stringify({ ...r, ratios: d.ratios, targets: d.targets }, null, 2)}\n`,
  );
  fs.writeFileSync(path.join(outDir, 'results.md'), markdown(r, d, chartFiles));

  log(
    `wrote ${path.relative(ROOT, outDir)}: results.md, results.json, ${chartFiles.join(', ')}; ` +
      `${fmt(r.durationS.total, 0)} s in all`,
  );
  if (r.quick) log('quick run: too few samples to judge targets by; these lines are a smoke check');
  for (const t of d.targets)
    log(`${t.met ? 'met   ' : 'MISSED'} ${t.target}: ${t.figure}${t.why ? ` (${t.why})` : ''}`);
}

main();
