#!/usr/bin/env node
'use strict';
// Reports how much the main thread's event loop is delayed while 16
// validateRequestAsync calls (cost-12 codes) run on the worker pool, and the
// throughput. For comparison it measures the same calls made synchronously.
// Reported, not asserted: numbers depend on the machine and its load. The
// histogram samples every 1 ms, so an idle loop reads about 1 ms.
//
// usage: node bench/event-loop-delay.js [--calls 16] [--threads N]

const os = require('node:os');
const { monitorEventLoopDelay, performance } = require('node:perf_hooks');
const { parseArgs } = require('node:util');
const { createValidator, generateAuthCode, validateRequest } = require('..');

const { values } = parseArgs({
  options: {
    calls: { type: 'string', default: '16' },
    threads: { type: 'string', default: String(os.availableParallelism()) },
  },
});
const calls = Number(values.calls);
const threads = Number(values.threads);
const combination = ['ANDROID', 'STORE', 'example.com'];

const ms = (ns) => (ns / 1e6).toFixed(1);

function report(label, histogram, elapsed) {
  console.log(
    `${label.padEnd(28)} event-loop delay p50 ${ms(histogram.percentile(50))} ms, p99 ` +
      `${ms(histogram.percentile(99))} ms, ` +
      `max ${ms(histogram.max)} ms; ${calls} checks in ${elapsed.toFixed(0)} ms = ` +
      `${((calls * 1000) / elapsed).toFixed(1)}/s`,
  );
}

async function measure(label, run) {
  const histogram = monitorEventLoopDelay({ resolution: 1 });
  histogram.enable();
  const started = performance.now();
  const results = await run();
  const elapsed = performance.now() - started;
  histogram.disable();
  if (!results.every(Boolean)) throw new Error(`${label}: a check failed`);
  report(label, histogram, elapsed);
}

async function main() {
  const code = generateAuthCode(...combination);
  // One code in every call: without the cache, each is a hash on the pool.
  const validator = createValidator({ threads, cache: false });
  // Start the threads outside the measurement.
  await validator.validateRequestAsync(code, ...combination);

  console.log(
    `${calls} concurrent cost-12 checks, ${threads} worker thread(s), ${os.availableParallelism()} core(s), ` +
      `Node.js ${process.version}`,
  );
  await measure('validateRequestAsync', () =>
    Promise.all(Array.from({ length: calls }, () => validator.validateRequestAsync(code, ...combination))),
  );
  await measure('validateRequest (sync)', async () => {
    const results = [];
    for (let i = 0; i < calls; i += 1) {
      results.push(validateRequest(code, ...combination));
      // Yield between calls, as a server would between requests.
      await new Promise(setImmediate);
    }
    return results;
  });
  await validator.close();
}

main().catch((err) => {
  console.error(err);
  process.exitCode = 1;
});
