'use strict';

// results.md: every figure of a run, the machine and how busy it was, and the
// targets.

const { fmt, spread, table } = require('./format');

/**
 * The text of results.md, one section after another.
 * @param {object} results a run's results, as in results.json
 * @param {object} derived the figures derived from them (targets.js)
 * @param {string[]} chartFiles the chart files drawn for the run, in the order charts.js draws them
 */
function markdown(results, derived, chartFiles) {
  const [msPerCallChart, throughputChart, eventLoopDelayChart] = chartFiles;
  const chartStartingWith = (prefix) => chartFiles.find((file) => file.startsWith(prefix));
  const lines = [
    ...introSection(results),
    ...machineLoadSection(results),
    ...targetsSection(derived.targets),
    ...floorSection(results.floor, results.quick),
    ...msPerCallSection(results.sync, derived, msPerCallChart),
    ...pairedSection(results.paired),
    ...refusalsSection(results.refusals),
    ...loadSection(results.load),
    ...asyncScalingSection(results.async, results.quick, derived, { throughputChart, eventLoopDelayChart }),
    ...requestPathSection(results.requestPath, chartStartingWith('request-path')),
    ...cacheMemorySection(results.cacheMemory, chartStartingWith('cache-memory')),
    ...fleetSection(results.fleet),
    ...notesSection(results.notes),
  ];
  return `${lines.join('\n')}\n`;
}

// The title, the machine, how long the run took and how to read its figures.
function introSection({ machine, quick, durationS }) {
  return [
    '# Benchmark results',
    '',
    `Run of \`npm run bench${quick ? ' -- --quick' : ''}\` on ${machine.date} (UTC). Machine: ${machine.cpuModel}, ` +
      `${machine.cores} cores, ${machine.memoryGiB} GiB, Linux ${machine.kernel}, Node.js ${machine.node}. ` +
      `Whole run: ${fmt(durationS.total, 0)} s (measuring ${fmt(durationS.measuring, 0)} s).`,
    '',
    ...(quick
      ? [
          '**Quick run**: a few samples per figure, enough to see that everything runs, too few to judge a target ' +
            'by; a ratio can move by several percent from one quick run to the next. Judge targets on a full run.',
          '',
        ]
      : []),
    'Every figure is the median of several samples, with the smallest and largest in brackets. Wall-clock figures ' +
      'depend on what else runs on the machine; CPU-time figures (time the process spent on a core) much less so.',
    '',
  ];
}

function machineLoadSection({ loadavgBefore, loadavgAfter, phases }) {
  const noisy = phases.some((phase) => phase.othersCores > 0.1);
  return [
    '## How busy the machine was',
    '',
    `Load average (1, 5, 15 min) before: ${loadavgBefore.join(', ')}; after: ${loadavgAfter.join(', ')}. ` +
      'Per phase, the share of both cores in use, by this run (its processes and their children) and by everything ' +
      'else:',
    '',
    table(
      ['phase', 's', 'load avg 1 min before → after', 'cores busy', 'this run', 'others', 'others (cores)'],
      phases.map((phase) => [
        phase.phase,
        fmt(phase.seconds, 1),
        `${phase.loadavgBefore[0]} → ${phase.loadavgAfter[0]}`,
        `${fmt(phase.busyPct, 0)}%`,
        `${fmt(phase.thisRunPct, 0)}%`,
        `${fmt(phase.othersPct, 0)}%`,
        fmt(phase.othersCores, 2),
      ]),
    ),
    '',
    noisy
      ? '**Other processes used the machine during this run** (see "others"): wall-clock figures and their ratios ' +
        'carry that noise, ' +
        'two-thread and pool throughput most of all (the machine has only two cores). The CPU-time ratios are ' +
        'the steadier comparison.'
      : 'Other processes used less than a tenth of a core in every phase.',
    '',
  ];
}

function targetsSection(targets) {
  return [
    '## Targets',
    '',
    table(
      ['target', 'this run', 'met', 'if missed, why'],
      targets.map((target) => [target.target, target.figure, target.met ? 'yes' : '**no**', target.why]),
    ),
    '',
    'Targets are reported, never asserted. docs/benchmarks.md has what the investigation of the misses found.',
    '',
  ];
}

function floorSection(floor, quick) {
  return [
    '## Floor: libxcrypt crypt_rn in C++ (Google Benchmark)',
    '',
    `Repetitions: ${quick ? 3 : 5}. "ms per hash" is the wall time of one hash; with two threads, two run at once. ` +
      "Core* rows run the module's own Node-free wrapper (src/bcrypt) on the same input.",
    '',
    table(
      ['benchmark', 'cost', 'threads', 'ms per hash', 'CPU ms per hash', 'hashes/s (all threads)'],
      floor.results.map((benchmark) => [
        benchmark.benchmark,
        benchmark.cost,
        benchmark.threads,
        spread(benchmark.msPerHash, 1),
        fmt(benchmark.cpuMsPerHash.median, 1),
        spread(benchmark.hashesPerSecond, 2),
      ]),
    ),
    '',
  ];
}

function msPerCallSection(sync, { floor12, floor10 }, chartFile) {
  return [
    '## ms per call at cost 12: ours, the peers and the floor',
    '',
    `${sync.samplesPerTask} samples per row over ${sync.rounds} interleaved round(s) after warm-up ` +
      `(tinybench). "vs floor" divides by crypt_rn at the same cost ` +
      `as measured in the floor phase (${fmt(floor12.msPerHash.median, 1)} ms at 12, ` +
      `${fmt(floor10.msPerHash.median, 1)} ms at 10), minutes earlier: the paired section below ` +
      'is the like-for-like comparison. "vs ours" divides by our call of the same kind (above 1: slower than ' +
      'ours). Async rows have one call in flight. ' +
      'CPU ms per call counts every thread of the process.',
    '',
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
      sync.results.map((call) => [
        call.library,
        call.operation === 'check-cost10' ? 'check, cost-10 code' : call.operation,
        call.mode,
        spread(call.ms, 1),
        fmt(call.vsFloor, 3),
        fmt(call.vsOurs, 3),
        fmt(call.cpuMsPerCall, 1),
        fmt(call.cpuVsFloor, 3),
        fmt(call.cpuVsOurs, 3),
      ]),
    ),
    '',
    `![ms per call](${chartFile})`,
    '',
  ];
}

function pairedSection(paired) {
  const { sync: pairedSync, async: pairedAsync } = paired;
  const rows = [
    [
      'validateRequest (sync) / crypt_rn, 1 thread',
      spread(pairedSync.checkVsFloor, 3),
      spread(pairedSync.checkCpuVsFloor, 3),
      `${fmt(pairedSync.checkMs.median, 1)} / ${fmt(pairedSync.floorMs.median, 1)} ms, ${paired.pairs} pairs`,
    ],
    [
      'generateAuthCode (sync) / crypt_rn, 1 thread',
      spread(pairedSync.hashVsFloor, 3),
      spread(pairedSync.hashCpuVsFloor, 3),
      `${fmt(pairedSync.hashMs.median, 1)} / ${fmt(pairedSync.floorMs.median, 1)} ms, ${paired.pairs} pairs`,
    ],
    ...(paired.peers ?? []).map((peer) => [
      pairedPeerLabel(peer),
      spread(peer.oursOverPeer, 3),
      spread(peer.cpuOursOverPeer, 3),
      `${peer.pairs} pairs`,
    ]),
  ];
  if (pairedAsync) {
    rows.push([
      `validateRequestAsync, ${pairedAsync.inFlight} in flight / crypt_rn, ${pairedAsync.threads} threads (calls/s)`,
      spread(pairedAsync.ratio, 3),
      'n/a',
      `${fmt(pairedAsync.oursPerSecond.median, 2)} / ${fmt(pairedAsync.floorPerSecond.median, 2)} calls/s, ` +
        `${pairedAsync.pairs ?? paired.pairs} pairs`,
    ]);
  }
  return [
    '## Ours against the floor, paired',
    '',
    `The ratios the targets use. Against the floor, each pair times the floor (floor_benchmark, a child process) ` +
      `and our call one right after the other, ` +
      'in turn first, and divides within the pair, so that load drifting over the run hits both sides of each ' +
      'ratio alike. Against the peers, one call of ours and one of theirs, ' +
      'in turn first. Median ratio (smallest–largest pair); below 1, ours is faster.',
    '',
    table(['ratio', 'wall clock', 'CPU time', 'figures'], rows),
    '',
  ];
}

// "validateRequest / bcrypt compareSync": our call over the peer's call it was
// alternated with.
function pairedPeerLabel({ operation, library }) {
  const ours = operation === 'check' ? 'validateRequest' : 'generateAuthCode';
  const peerCall = operation === 'check' ? (library === 'bcrypt' ? 'compareSync' : 'verifySync') : 'hashSync';
  return `${ours} / ${library} ${peerCall}`;
}

function refusalsSection(refusals) {
  return [
    '## Refusals (no bcrypt work)',
    '',
    "Microseconds per call, each sample the mean of a batch of calls; the module's standard error went to /dev/null.",
    '',
    table(
      ['case', 'µs per call', 'batch'],
      refusals.results.map((refusal) => [refusal.name, spread(refusal.us, 2), refusal.batch]),
    ),
    '',
  ];
}

function loadSection(load) {
  return [
    '## Load',
    '',
    '"process" is the wall time of a whole `node -e` process; "above node -e 0" is the median of the differences ' +
      'between runs made one ' +
      'right after the other; "require" is the require alone, timed inside a fresh process; RSS after the require, ' +
      'and what the require added.',
    '',
    table(
      ['what', 'process ms', 'above node -e 0 (ms)', 'require ms', 'RSS MiB', 'RSS added MiB'],
      load.results.map((loaded) => [
        loaded.name,
        spread(loaded.processMs, 1),
        loaded.processMsOverNodeRange ? spread(loaded.processMsOverNodeRange, 1) : fmt(loaded.processMsOverNode, 1),
        spread(loaded.requireMs, 2),
        fmt(loaded.rssMiB.median, 1),
        fmt(loaded.rssAddedMiB.median, 2),
      ]),
    ),
    '',
  ];
}

function asyncScalingSection(scaling, quick, { floor12, floor12x2 }, { throughputChart, eventLoopDelayChart }) {
  const warmupPerCall = scaling.warmupMsPerCallInFlight ? ` + k × ${scaling.warmupMsPerCallInFlight} ms` : '';
  return [
    '## Async scaling and event-loop delay',
    '',
    `Each level keeps k calls in flight (a finished call starts the next) for ${scaling.warmupMs} ` +
      `ms${warmupPerCall} of warm-up, then ` +
      `${scaling.windowMs} ms measured; ` +
      `calls/s is over the whole window, with the spread over ${quick ? 'it' : 'three equal parts of it'}. Our ` +
      `pool has ${scaling.threads} threads; ` +
      `bcrypt and @node-rs/bcrypt use libuv's pool (${scaling.uvThreadpoolSize} threads). The sync row runs k ` +
      `calls back to back, then yields, as a server checking synchronously would. ` +
      `Event-loop delay is perf_hooks.monitorEventLoopDelay at ${scaling.eldResolutionMs} ms resolution; its ` +
      `figures include that interval. ` +
      `Floor for comparison: ${fmt(floor12.hashesPerSecond.median, 2)} hashes/s on one thread, ` +
      `${fmt(floor12x2.hashesPerSecond.median, 2)} on two.`,
    '',
    table(
      ['variant', 'in flight', 'calls/s', 'speed-up over 1', 'vs floor 2 threads', 'delay p50 ms', 'p99 ms', 'max ms'],
      scaling.results.map((level) => [
        level.variant,
        level.inFlight,
        `${fmt(level.callsPerSecond.overall, 2)} ` +
          `(${fmt(level.callsPerSecond.min, 2)}–${fmt(level.callsPerSecond.max, 2)})`,
        fmt(level.speedup, 2),
        fmt(level.callsPerSecond.overall / floor12x2.hashesPerSecond.median, 3),
        fmt(level.eventLoopDelayMs.p50, 2),
        fmt(level.eventLoopDelayMs.p99, 2),
        fmt(level.eventLoopDelayMs.max, 1),
      ]),
    ),
    '',
    `![throughput](${throughputChart})`,
    '',
    `![event-loop delay](${eventLoopDelayChart})`,
    '',
  ];
}

// "200×950, 401×50": how many responses had each status.
const statusCounts = (countsByStatus) =>
  Object.entries(countsByStatus ?? {})
    .map(([status, { count }]) => `${status}×${count}`)
    .join(', ');

function requestPathSection(requestPath, chartFile) {
  if (!requestPath) return [];
  const { repeated, fresh, flood, firstSight } = requestPath;
  return [
    '## Request path (node:http, autocannon on 127.0.0.1)',
    '',
    `One node:http server process; its validator has a pool of ${requestPath.threads} threads on ` +
      `${requestPath.cores} cores and ` +
      `the default cache. autocannon runs in separate processes on the same machine, so clients, server and pool ` +
      `share the cores. ${requestPath.seconds} s per timed scenario. Codes are cost 12. "main thread" and "pool" ` +
      'are the ' +
      "CPU each used over the scenario, in cores (of the server process's threads: the main thread from " +
      "/proc/self/task, the pool from the rest of the process); hashes are the validator's bcryptChecks over it. " +
      'autocannon counts latency in whole milliseconds; requests/s is over the whole run, with the range of ' +
      "autocannon's once-a-second counts.",
    '',
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
      requestPath.scenarios.map((scenario) => [
        scenario.name,
        scenario.connections,
        // Several clients' results merged carry no once-a-second counts.
        scenario.requestsPerSecond.max > 0
          ? `${fmt(scenario.requestsPerSecond.overall, 1)} ` +
            `(${scenario.requestsPerSecond.min}–${scenario.requestsPerSecond.max})`
          : fmt(scenario.requestsPerSecond.overall, 1),
        fmt(scenario.latencyMs.p50, 1),
        fmt(scenario.latencyMs.p99, 1),
        fmt(scenario.latencyMs.max, 0),
        statusCounts(scenario.statusCodes),
        fmt(scenario.mainThreadCores, 2),
        fmt(scenario.poolThreadsCores, 2),
        scenario.hashes ?? 'n/a',
      ]),
    ),
    '',
    `- Repeated valid code: authenticated / bare = **${fmt(repeated.ratio, 3)}×** ` +
      `(${fmt(repeated.authPerSecond, 0)} vs ${fmt(repeated.barePerSecond, 0)} requests/s).`,
    `- Fresh valid code on every request: ${fmt(fresh.requestsPerSecond, 1)} requests/s, each a full hash: ` +
      `${fmt(repeated.authPerSecond / fresh.requestsPerSecond, 0)}× fewer than with one code re-sent.`,
    `- Flood: the legitimate clients got 200 on **${fmt(flood.share200 * 100, 2)}%** of ${flood.legitTotal} ` +
      `requests, p50 ${fmt(flood.legitP50Ms, 1)} ms, p99 **${fmt(flood.legitP99Ms, 1)} ms**; the flood's ` +
      `statuses: ${statusCounts(flood.floodStatusCodes)}. Main thread ${fmt(flood.mainThreadCores, 2)} of a core, ` +
      `pool ${fmt(flood.poolThreadsCores, 2)}.`,
    `- First sight: ${firstSight.requests} concurrent requests with one code the server had never seen: ` +
      `${firstSight.bcryptChecks} hash, ${firstSight.coalesced} calls coalesced, ${firstSight.cacheHits} cache ` +
      `hits; ${firstSight.ok} × 200.`,
    ...(requestPath.rotation
      ? [
          `- Token rotation (the rotation test tables, a previous table for WEB/USER): a wrong code (cost 10) ` +
            'for a rotated combination, tried against both tokens in one task, costs ' +
            `**${fmt(requestPath.rotation.wrongCostRatio, 3)}×** the pool CPU of one without a previous table ` +
            `(${fmt(requestPath.rotation.wrongPerSecond.rotated, 1)} vs ` +
            `${fmt(requestPath.rotation.wrongPerSecond.withoutPrevious, 1)} requests/s); a code of the previous ` +
            `token re-sent costs **${fmt(requestPath.rotation.resentCostRatio, 3)}×** the main-thread CPU of a ` +
            `current one (both from the cache; ${fmt(requestPath.rotation.resentRatio, 3)}× its requests/s), and ` +
            `${fmt(requestPath.rotation.resentWithHeadersCostRatio, 3)}× with the Deprecation and Sunset headers ` +
            'its response carries by default.',
        ]
      : []),
    '',
    ...(chartFile ? [`![request path](${chartFile})`, ''] : []),
  ];
}

function cacheMemorySection(cacheMemory, chartFile) {
  if (!cacheMemory?.capped) return [];
  const { capped, v8Defaults } = cacheMemory;
  const count = (n) => n.toLocaleString('en');
  return [
    '## Cache memory under a spray of wrong codes',
    '',
    `${count(capped.codes)} distinct well-formed wrong codes at cost 4 (cheap to hash) through ` +
      `validateRequestAsync, ${capped.inFlight} in flight, on a validator with the default cache ` +
      `(${count(capped.cacheBounds.valid)} valid, ${count(capped.cacheBounds.invalid)} invalid ` +
      'entries): the invalid bucket fills, then churns. Memory after a forced GC, from the sample after the first ' +
      `${count(capped.baselineAfter)} codes to the last. Run twice: with the young generation capped ` +
      `(\`${capped.v8Flags.join(' ')}\`), which the target is judged on, and with V8's defaults, under which V8 ` +
      'grows the young generation with the rate of calls, whatever the cache holds.',
    '',
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
        ['young generation capped', capped],
        ["V8's defaults", v8Defaults],
      ]
        .filter(([, run]) => run)
        .map(([name, run]) => [
          name,
          fmt(run.baselineMiB, 1),
          fmt(run.finalMiB, 1),
          fmt(run.growthMiB, 2),
          fmt(run.heapUsedGrowthMiB, 2),
          fmt(run.codes / run.seconds, 0),
        ]),
    ),
    '',
    ...(chartFile ? [`![cache memory](${chartFile})`, ''] : []),
  ];
}

function fleetSection(fleet) {
  if (!fleet) return [];
  const heading = '## A fleet behind one Redis (the shared level)';
  if (fleet.skipped) return [heading, '', `Not measured: ${fleet.skipped}.`, ''];
  const { without, down, hitLatency: hit } = fleet;
  const shared = fleet.with;
  const ms = (x) => fmt(x, 1);
  const outage = [down.paused, down.killed, down.seen];
  const outageStatuses = outage.every((run) => run.statuses[200] === run.requests)
    ? 'every request answered 200'
    : 'see the statuses';
  const row = (name, run) => [
    name,
    run.codes,
    run.requests,
    fmt(run.hashesPerCode, 3),
    run.counters.sharedHits,
    run.counters.lockWaits,
    `${run.counters.unavailable} / ${run.counters.errors}`,
    ms(run.latencyMs.p50),
    ms(run.latencyMs.p99),
    ms(run.latencyMs.max),
    Object.entries(run.statuses)
      .map(([status, count]) => `${status}×${count}`)
      .join(', '),
  ];
  return [
    heading,
    '',
    `${fleet.servers} node:http server processes behind authMiddleware, one pool thread each, on ` +
      `${fleet.cores} cores; ${fleet.redis}, with the level's defaults (time limit ` +
      `${fleet.sharedDefaults.timeoutMs} ms, back-off ${fleet.sharedDefaults.backoffMs} ms, lock wait ` +
      `${fleet.sharedDefaults.lock.waitMs} ms). The client (this process) sends each distinct fresh valid code to ` +
      `all ${fleet.servers} servers at once, ${fleet.codesAtOnce} codes at a time, as clients behind a ` +
      `round-robin balancer reach them. Codes are cost ${fleet.cost}, so that the run without the level takes ` +
      'seconds; hash counts do not depend on the cost. Hashes are the servers\' bcryptChecks; "unavailable / ' +
      'errors" are the checks hashed because Redis failed, and the Redis commands that failed or timed out; ' +
      'latency is per request, at the client.',
    '',
    table(
      [
        'run',
        'codes',
        'requests',
        'hashes per code',
        'shared hits',
        'lock waits',
        'unavailable / errors',
        'p50 ms',
        'p99 ms',
        'max ms',
        'statuses',
      ],
      [
        row('without the shared level', without),
        row('with it', shared),
        row('Redis paused (SIGSTOP), fresh codes', down.paused),
        row('Redis killed, fresh codes', down.killed),
        row('Redis killed, codes seen before', down.seen),
      ],
    ),
    '',
    `- Hashes per distinct code: **${fmt(shared.hashesPerCode, 3)}** with the shared level, ` +
      `${fmt(without.hashesPerCode, 3)} without.`,
    `- A Redis hit against an in-process hit (${hit.requests} codes, each checked by one server, then sent to ` +
      'another twice, one request at a time): at the client ' +
      `${ms(hit.sharedMs.p50)} ms against ${ms(hit.inProcessMs.p50)} ms (p50), **${fmt(hit.addedMs, 2)} ms** ` +
      `added (median of the pairs); the check itself ${fmt(hit.checkSharedMs.median, 3)} ms against ` +
      `${fmt(hit.checkInProcessMs.median, 3)} ms.`,
    `- Redis down: every check that would have asked it is hashed by its own server (${outageStatuses}); paused, ` +
      `the checks that reach Redis between back-offs wait out the time limit first (p50 ` +
      `${ms(down.paused.latencyMs.p50)} ms against ` +
      `${ms(down.killed.latencyMs.p50)} ms killed, where commands fail at once); codes a server has seen are ` +
      `answered from its own cache (p50 ${ms(down.seen.latencyMs.p50)} ms).`,
    '',
  ];
}

function notesSection(notes) {
  if (!notes.length) return [];
  return ['## Notes', '', ...notes.map((note) => `- ${note}`), ''];
}

module.exports = { markdown, fleetSection };
