'use strict';

// results.md: every figure of a run, the machine and how busy it was, and the
// targets.

const { fmt, spread, table } = require('./format');

function markdown(r, d, chartFiles) {
  const out = [
    ...introSection(r),
    ...machineLoadSection(r),
    ...targetsSection(d),
    ...floorSection(r),
    ...msPerCallSection(r, d, chartFiles),
    ...pairedSection(r),
    ...refusalsSection(r),
    ...loadSection(r),
    ...asyncScalingSection(r, d, chartFiles),
    ...requestPathSection(r, chartFiles),
    ...cacheMemorySection(r, chartFiles),
    ...notesSection(r),
  ];
  return `${out.join('\n')}\n`;
}

function introSection(r) {
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
  return out;
}

function machineLoadSection(r) {
  const out = [];
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
  return out;
}

function targetsSection(d) {
  const out = [];
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
  return out;
}

function floorSection(r) {
  const out = [];
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
  return out;
}

function msPerCallSection(r, d, chartFiles) {
  const out = [];
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
  return out;
}

function pairedSection(r) {
  const out = [];
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
  return out;
}

function refusalsSection(r) {
  const out = [];
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
  return out;
}

function loadSection(r) {
  const out = [];
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
  return out;
}

function asyncScalingSection(r, d, chartFiles) {
  const out = [];
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
  return out;
}

function notesSection(r) {
  if (!r.notes.length) return [];
  return ['## Notes', '', ...r.notes.map((n) => `- ${n}`), ''];
}

const statuses = (codes) =>
  Object.entries(codes ?? {})
    .map(([code, v]) => `${code}×${v.count}`)
    .join(', ');

function requestPathSection(r, chartFiles) {
  const rp = r.requestPath;
  if (!rp) return [];
  const out = ['## Request path (node:http, autocannon on 127.0.0.1)', ''];
  out.push(
    `One node:http server process; its validator has a pool of ${rp.threads} threads on ${rp.cores} cores and ` +
      `the default cache. autocannon runs in separate processes on the same machine, so clients, server and pool ` +
      `share the cores. ${rp.seconds} s per timed scenario. Codes are cost 12. "main thread" and "pool" are the ` +
      "CPU each used over the scenario, in cores (of the server process's threads: the main thread from " +
      "/proc/self/task, the pool from the rest of the process); hashes are the validator's bcryptChecks over it. " +
      'autocannon counts latency in whole milliseconds; requests/s is over the whole run, with the range of ' +
      "autocannon's once-a-second counts.",
    '',
  );
  out.push(
    table(
      [
        'scenario',
        'connections',
        'requests/s',
        'p50 ms',
        'p99 ms',
        'max ms',
        'statuses',
        'main thread',
        'pool',
        'hashes',
      ],
      rp.scenarios.map((x) => [
        x.name,
        x.connections,
        // Several clients' results merged carry no once-a-second counts.
        x.requestsPerSecond.max > 0
          ? `${fmt(x.requestsPerSecond.overall, 1)} (${x.requestsPerSecond.min}–${x.requestsPerSecond.max})`
          : fmt(x.requestsPerSecond.overall, 1),
        fmt(x.latencyMs.p50, 1),
        fmt(x.latencyMs.p99, 1),
        fmt(x.latencyMs.max, 0),
        statuses(x.statusCodes),
        fmt(x.mainThreadCores, 2),
        fmt(x.poolThreadsCores, 2),
        x.hashes ?? 'n/a',
      ]),
    ),
    '',
  );
  const { repeated, flood, firstSight } = rp;
  out.push(
    `- Repeated valid code: authenticated / bare = **${fmt(repeated.ratio, 3)}×** ` +
      `(${fmt(repeated.authPerSecond, 0)} vs ${fmt(repeated.barePerSecond, 0)} requests/s).`,
    `- Fresh valid code on every request: ${fmt(rp.fresh.requestsPerSecond, 1)} requests/s, each a full hash: ` +
      `${fmt(repeated.authPerSecond / rp.fresh.requestsPerSecond, 0)}× fewer than with one code re-sent.`,
    `- Flood: the legitimate clients got 200 on **${fmt(flood.share200 * 100, 2)}%** of ${flood.legitTotal} ` +
      `requests, p50 ${fmt(flood.legitP50Ms, 1)} ms, p99 **${fmt(flood.legitP99Ms, 1)} ms**; the flood's ` +
      `statuses: ${statuses(flood.floodStatusCodes)}. Main thread ${fmt(flood.mainThreadCores, 2)} of a core, ` +
      `pool ${fmt(flood.poolThreadsCores, 2)}.`,
    `- First sight: ${firstSight.requests} concurrent requests with one code the server had never seen: ` +
      `${firstSight.bcryptChecks} hash, ${firstSight.coalesced} calls coalesced, ${firstSight.cacheHits} cache ` +
      `hits; ${firstSight.ok} × 200.`,
    '',
  );
  const chart = chartFiles.find((f) => f.startsWith('request-path'));
  if (chart) out.push(`![request path](${chart})`, '');
  return out;
}

function cacheMemorySection(r, chartFiles) {
  const runs = r.cacheMemory;
  if (!runs?.capped) return [];
  const out = ['## Cache memory under a spray of wrong codes', ''];
  const m = runs.capped;
  out.push(
    `${m.codes.toLocaleString('en')} distinct well-formed wrong codes at cost 4 (cheap to hash) through ` +
      `validateRequestAsync, ${m.inFlight} in flight, on a validator with the default cache ` +
      `(${m.cacheBounds.valid.toLocaleString('en')} valid, ${m.cacheBounds.invalid.toLocaleString('en')} invalid ` +
      'entries): the invalid bucket fills, then churns. Memory after a forced GC, from the sample after the first ' +
      `${m.baselineAfter.toLocaleString('en')} codes to the last. Run twice: with the young generation capped ` +
      `(\`${m.v8Flags.join(' ')}\`), which the target is judged on, and with V8's defaults, under which V8 grows ` +
      'the young generation with the rate of calls, whatever the cache holds.',
    '',
  );
  out.push(
    table(
      [
        'run',
        'RSS after the first (MiB)',
        'RSS at the end (MiB)',
        'RSS growth (MiB)',
        'heap in use growth (MiB)',
        'checks/s',
      ],
      [
        ['young generation capped', m],
        ["V8's defaults", runs.v8Defaults],
      ]
        .filter(([, x]) => x)
        .map(([name, x]) => [
          name,
          fmt(x.baselineMiB, 1),
          fmt(x.finalMiB, 1),
          fmt(x.growthMiB, 2),
          fmt(x.heapUsedGrowthMiB, 2),
          fmt(x.codes / x.seconds, 0),
        ]),
    ),
    '',
  );
  const chart = chartFiles.find((f) => f.startsWith('cache-memory'));
  if (chart) out.push(`![cache memory](${chart})`, '');
  return out;
}

module.exports = { markdown };
