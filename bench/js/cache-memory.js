'use strict';

// Memory while the cache churns: distinct well-formed wrong codes at cost 4
// (cheap to hash, so the invalid bucket fills in seconds and then evicts)
// through validateRequestAsync with the default cache. Resident memory and
// heap after a forced GC every 1,000 codes; the figure that counts is the
// growth from the sample after the first 1,000 to the last. Run with
// --expose-gc; the driver runs it with V8's defaults and with the young
// generation capped (--max-semi-space-size=1), since V8 grows that with the
// rate of calls whatever the cache holds.

const path = require('node:path');
const common = require('./common');

const { CACHE_DEFAULTS } = require(path.join(common.ROOT, 'lib', 'result-cache'));
const { COMBO } = common;
const SAMPLE_EVERY = 1000;
const IN_FLIGHT = 16;

async function main() {
  const opts = common.options();
  if (typeof global.gc !== 'function') throw new Error('run with --expose-gc');
  const pkg = common.loadPackage();
  if (!pkg) throw new Error('the package layer (lib/index.js with validateRequestAsync) is not there');
  const { platform, userType, host } = COMBO;
  const codes = opts.quick ? 10_000 : 50_000;
  const validator = pkg.createValidator();
  const mib = (bytes) => bytes / 2 ** 20;

  const samples = [];
  const sample = (done) => {
    global.gc();
    const { rss, heapUsed, heapTotal } = process.memoryUsage();
    samples.push({ codes: done, rssMiB: mib(rss), heapUsedMiB: mib(heapUsed), heapTotalMiB: mib(heapTotal) });
  };
  const started = performance.now();
  let checked = 0;
  while (checked < codes) {
    const batch = Math.min(SAMPLE_EVERY, codes - checked);
    let next = 0;
    // Each keeps one call in flight; together they stay within the queue.
    const runBatch = async () => {
      while (next < batch) {
        next++;
        if ((await validator.validateRequestAsync(common.wrongCode(4), platform, userType, host)) !== false)
          throw new Error('a made-up code was accepted');
      }
    };
    await Promise.all(Array.from({ length: IN_FLIGHT }, runBatch));
    checked += batch;
    sample(checked);
  }
  const seconds = (performance.now() - started) / 1000;
  const stats = validator.stats();
  await validator.close();

  const baseline = samples[0];
  const last = samples[samples.length - 1];
  common.report(opts, {
    v8Flags: process.execArgv.filter((flag) => flag !== '--expose-gc'),
    codes,
    inFlight: IN_FLIGHT,
    cacheBounds: { valid: CACHE_DEFAULTS.valid, invalid: CACHE_DEFAULTS.invalid },
    baselineAfter: baseline.codes,
    baselineMiB: baseline.rssMiB,
    finalMiB: last.rssMiB,
    growthMiB: last.rssMiB - baseline.rssMiB,
    heapUsedGrowthMiB: last.heapUsedMiB - baseline.heapUsedMiB,
    seconds,
    stats,
    samples,
  });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
