'use strict';

// Throughput and main-thread event-loop delay against calls in flight (1, 2,
// 4, 8, 16): our validateRequestAsync on its worker pool, our sync call, and
// the peers' async checks. Each level keeps k calls in flight (a finished call
// starts the next) through a warm-up and then a measured window; only the
// window counts.

const os = require('node:os');
const { monitorEventLoopDelay } = require('node:perf_hooks');
const bcrypt = require('bcrypt');
const nodeRs = require('@node-rs/bcrypt');
const bcryptjs = require('bcryptjs');
const common = require('./common');

const { COMBO, COST } = common;
// The histogram samples every millisecond and records whole intervals, so its
// figures overstate the delay by up to that millisecond.
const ELD_RESOLUTION_MS = 1;
const STEADY_MS_PER_CALL = 120;

const now = () => performance.now();

function delays(histogram) {
  const ms = (ns) => ns / 1e6;
  return {
    p50: ms(histogram.percentile(50)),
    p99: ms(histogram.percentile(99)),
    max: ms(histogram.max),
    samples: histogram.count,
  };
}

// Keeps k promise-returning calls in flight from now until the window has
// closed, then lets the last ones finish.
async function runAsync(call, k, warmupMs, windowMs) {
  const histogram = monitorEventLoopDelay({ resolution: ELD_RESOLUTION_MS });
  const t0 = now() + warmupMs;
  const t1 = t0 + windowMs;
  const on = setTimeout(() => histogram.enable(), warmupMs);
  const off = setTimeout(() => histogram.disable(), warmupMs + windowMs);
  const calls = await common.keepInFlight(call, k, t1);
  clearTimeout(on);
  clearTimeout(off);
  histogram.disable();
  return { calls, t0, t1, histogram };
}

// The sync call with k requests arriving at once: all k run back to back on
// the main thread, then the loop gets a turn, as in a server that checks
// synchronously. The window starts between batches and ends after a whole
// batch; the loop gets one more turn at the end so that the last stall is
// recorded too.
async function runSync(call, k, warmupMs, windowMs, minBatches) {
  const calls = [];
  const histogram = monitorEventLoopDelay({ resolution: ELD_RESOLUTION_MS });
  const turn = () => new Promise((resolve) => setImmediate(resolve));
  const timed = () => {
    const start = now();
    if (call() !== true) throw new Error('a call in the benchmark did not return true');
    return { start, end: now() };
  };
  const warmEnd = now() + warmupMs;
  do timed();
  while (now() < warmEnd);
  await turn();
  histogram.enable();
  const t0 = now();
  for (let batches = 0; batches < minBatches || now() < t0 + windowMs; batches++) {
    for (let i = 0; i < k; i++) calls.push(timed());
    await turn();
  }
  const t1 = now();
  await new Promise((resolve) => setTimeout(resolve, 2 * ELD_RESOLUTION_MS));
  histogram.disable();
  return { calls, t0, t1, histogram };
}

async function main() {
  const opts = common.options();
  const pkg = common.loadPackage();
  const native = require(common.MODULE_PATH);
  const token = common.demoToken();
  const { platform, userType, host } = COMBO;
  const code = native.generateAuthCode(platform, userType, host);
  // Every call re-sends one code: without the cache, each is a hash on the pool.
  const validator = pkg?.createValidator({ cache: false });

  const levels = opts.quick ? [1, 2, 16] : [1, 2, 4, 8, 16];
  // bcryptjs hashes on the main thread in slices, so more calls in flight only
  // share its one core and finish together: one level shows all there is.
  const variants = [
    validator && {
      name: 'ours async (validateRequestAsync)',
      kind: 'async',
      levels,
      call: () => validator.validateRequestAsync(code, platform, userType, host),
    },
    {
      name: 'ours sync (validateRequest)',
      kind: 'sync',
      levels,
      call: () => native.validateRequest(code, platform, userType, host),
    },
    { name: 'bcrypt compare', kind: 'async', levels, call: () => bcrypt.compare(token, code) },
    { name: '@node-rs/bcrypt verify', kind: 'async', levels, call: () => nodeRs.verify(token, code) },
    { name: 'bcryptjs compare', kind: 'async', levels: [1], call: () => bcryptjs.compare(token, code) },
  ].filter(Boolean);

  const warmupMs = opts.quick ? 300 : 800;
  const windowMs = opts.quick ? 1200 : 4000;
  const parts = 3;
  const results = [];
  for (const variant of variants) {
    for (const k of variant.levels) {
      // The window opens once the first burst of k calls has drained and
      // calls start and finish at a steady rate: about k tenths of a second at
      // cost 12 on two threads.
      const { calls, t0, t1, histogram } =
        variant.kind === 'sync'
          ? await runSync(variant.call, k, warmupMs, windowMs, 2)
          : await runAsync(variant.call, k, warmupMs + k * STEADY_MS_PER_CALL, windowMs);
      results.push({
        variant: variant.name,
        inFlight: k,
        callsPerSecond: {
          ...common.summary(common.callsPerSecondParts(calls, t0, t1, parts)),
          overall: common.callsPerSecond(calls, t0, t1),
        },
        windowMs: t1 - t0,
        eventLoopDelayMs: delays(histogram),
      });
    }
  }
  for (const r of results) {
    const one = results.find((x) => x.variant === r.variant && x.inFlight === 1);
    r.speedup = r.callsPerSecond.overall / one.callsPerSecond.overall;
  }
  await validator?.close();
  common.report(opts, {
    cost: COST,
    threads: validator ? os.availableParallelism() : null,
    uvThreadpoolSize: Number(process.env.UV_THREADPOOL_SIZE) || 4,
    eldResolutionMs: ELD_RESOLUTION_MS,
    warmupMs,
    warmupMsPerCallInFlight: STEADY_MS_PER_CALL,
    windowMs,
    parts,
    results,
  });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
