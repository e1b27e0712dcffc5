'use strict';

// ms per call at cost 12: our generateAuthCode / validateRequest against the
// hash and check of bcrypt (native), @node-rs/bcrypt (Rust) and bcryptjs (pure
// JS), each sync and async with one call in flight. The floor (C++) comes from
// the driver; ratios are worked out there.
//
// Every task runs in each of several rounds, so a burst of load from another
// process spreads over all of them instead of landing on one library.

const bcrypt = require('bcrypt');
const nodeRs = require('@node-rs/bcrypt');
const bcryptjs = require('bcryptjs');
const common = require('./common');

const { COMBO, COST } = common;

function must(condition, what) {
  if (!condition) throw new Error(`sanity check failed: ${what}`);
}

async function main() {
  const opts = common.options();
  const { Bench } = await import('tinybench');
  const native = require(common.MODULE_PATH);
  const pkg = common.loadPackage();
  // One code in every call: without the cache, each is a hash on the pool.
  const validator = pkg?.createValidator({ cache: false });
  const token = common.demoToken();
  const { platform, userType, host } = COMBO;

  const ourCode = native.generateAuthCode(platform, userType, host);
  // A cost-10 code of the same token, to set against the floor at cost 10.
  const ourCode10 = bcryptjs.hashSync(token, 10);
  const bcryptHash = bcrypt.hashSync(token, COST);
  const nodeRsHash = nodeRs.hashSync(token, COST);
  const bcryptjsHash = bcryptjs.hashSync(token, COST);
  must(native.validateRequest(ourCode, platform, userType, host), 'our code validates');
  must(native.validateRequest(ourCode10, platform, userType, host), 'a cost-10 code validates');
  must(
    bcrypt.compareSync(token, ourCode) && nodeRs.verifySync(token, ourCode) && bcryptjs.compareSync(token, ourCode),
    'peers accept our code',
  );
  if (validator) must(await validator.validateRequestAsync(ourCode, platform, userType, host), 'async validates');

  // [library, operation, mode, fn]; the check always returns true here.
  const tasks = [
    ['ours', 'hash', 'sync', () => native.generateAuthCode(platform, userType, host)],
    ['ours', 'check', 'sync', () => native.validateRequest(ourCode, platform, userType, host)],
    ['ours', 'check-cost10', 'sync', () => native.validateRequest(ourCode10, platform, userType, host)],
    ['bcrypt', 'hash', 'sync', () => bcrypt.hashSync(token, COST)],
    ['bcrypt', 'check', 'sync', () => bcrypt.compareSync(token, bcryptHash)],
    ['bcrypt', 'hash', 'async', () => bcrypt.hash(token, COST)],
    ['bcrypt', 'check', 'async', () => bcrypt.compare(token, bcryptHash)],
    ['@node-rs/bcrypt', 'hash', 'sync', () => nodeRs.hashSync(token, COST)],
    ['@node-rs/bcrypt', 'check', 'sync', () => nodeRs.verifySync(token, nodeRsHash)],
    ['@node-rs/bcrypt', 'hash', 'async', () => nodeRs.hash(token, COST)],
    ['@node-rs/bcrypt', 'check', 'async', () => nodeRs.verify(token, nodeRsHash)],
    ['bcryptjs', 'hash', 'sync', () => bcryptjs.hashSync(token, COST)],
    ['bcryptjs', 'check', 'sync', () => bcryptjs.compareSync(token, bcryptjsHash)],
    ['bcryptjs', 'hash', 'async', () => bcryptjs.hash(token, COST)],
    ['bcryptjs', 'check', 'async', () => bcryptjs.compare(token, bcryptjsHash)],
  ];
  if (validator) {
    tasks.splice(
      3,
      0,
      ['ours', 'hash', 'async', () => validator.generateAuthCodeAsync(platform, userType, host)],
      ['ours', 'check', 'async', () => validator.validateRequestAsync(ourCode, platform, userType, host)],
    );
  }

  const rounds = opts.quick ? 2 : 10;
  const perRound = 1;
  const samples = new Map();
  const cpuMs = new Map();
  // Per round: median wall ms and CPU ms per call, so the driver can take
  // ratios between libraries measured seconds apart rather than minutes.
  const byRound = new Map();
  for (let round = 0; round < rounds; round++) {
    const bench = new Bench({
      time: 0,
      iterations: perRound,
      // One warm-up call per task is enough for code that runs 200 ms a call.
      warmup: round === 0,
      warmupIterations: 1,
      warmupTime: 0,
      retainSamples: true,
      throws: true,
    });
    for (const [library, operation, mode, fn] of tasks) {
      const key = `${library}|${operation}|${mode}`;
      let cpuStart;
      bench.add(key, fn, {
        // Said outright: otherwise tinybench calls fn once to find out, and
        // leaves that call running into the next tasks.
        async: mode === 'async',
        beforeAll(phase) {
          if (phase === 'run') cpuStart = process.cpuUsage();
        },
        afterAll(phase) {
          if (phase !== 'run') return;
          const used = process.cpuUsage(cpuStart);
          cpuMs.set(key, (cpuMs.get(key) ?? 0) + (used.user + used.system) / 1000);
          const roundCpu = (used.user + used.system) / 1000 / perRound;
          byRound.set(key, [...(byRound.get(key) ?? []), { cpuMs: roundCpu }]);
        },
      });
    }
    await bench.run();
    for (const task of bench.tasks) {
      if (task.result.state !== 'completed') throw new Error(`${task.name}: ${task.result.state}`);
      samples.set(task.name, [...(samples.get(task.name) ?? []), ...task.result.latency.samples]);
      byRound.get(task.name)[round].ms = task.result.latency.p50;
    }
  }

  const results = tasks.map(([library, operation, mode]) => {
    const key = `${library}|${operation}|${mode}`;
    const ms = samples.get(key);
    return {
      library,
      operation,
      mode,
      ms: common.summary(ms),
      cpuMsPerCall: cpuMs.get(key) / ms.length,
      rounds: byRound.get(key),
    };
  });
  await validator?.close();
  common.report(opts, { cost: COST, rounds, samplesPerTask: rounds * perRound, asyncApi: Boolean(validator), results });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
