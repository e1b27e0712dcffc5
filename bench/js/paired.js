'use strict';

// Ours against the floor, measured in alternation: each pair runs the C++
// floor (floor_benchmark, a child process) and our call right after one
// another, in turn first, and the ratio is taken within the pair. Load from
// other processes that drifts over minutes then hits both sides of a ratio
// alike, which separate medians taken minutes apart cannot promise.
//   sync:  crypt_rn at cost 12 on one thread, against validateRequest and
//          generateAuthCode;
//   async: crypt_rn on two threads, against validateRequestAsync with 16
//          calls in flight.

const os = require('node:os');
const { spawnSync } = require('node:child_process');
const common = require('./common');

const { COMBO } = common;
const now = () => performance.now();

function floor(binary, threads, minTime, repetitions) {
  const result = spawnSync(binary, [
    `--benchmark_filter=^BM_CryptRn/cost:12/real_time/threads:${threads}$`,
    `--benchmark_min_time=${minTime}`,
    `--benchmark_repetitions=${repetitions}`,
    '--benchmark_format=json',
  ], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
  if (result.status !== 0) throw new Error(`floor_benchmark exited with ${result.status}`);
  const runs = JSON.parse(result.stdout).benchmarks.filter((b) => b.run_type === 'iteration');
  return {
    ms: common.summary(runs.map((b) => b.real_time * threads)).median,
    cpuMs: common.summary(runs.map((b) => b.cpu_time)).median,
    perSecond: common.summary(runs.map((b) => b.items_per_second)).median,
  };
}

// Median wall and CPU ms of n calls of fn, which must return true-ish.
function timeSync(fn, n) {
  const wall = [];
  const cpu = [];
  for (let i = 0; i < n; i++) {
    const c0 = process.cpuUsage();
    const t0 = now();
    if (!fn()) throw new Error('a call in the benchmark failed');
    wall.push(now() - t0);
    const c = process.cpuUsage(c0);
    cpu.push((c.user + c.system) / 1000);
  }
  return { ms: common.summary(wall).median, cpuMs: common.summary(cpu).median };
}

async function inFlight(call, k, warmupMs, windowMs) {
  const calls = [];
  const t0 = now() + warmupMs;
  const t1 = t0 + windowMs;
  await new Promise((resolve, reject) => {
    let active = 0;
    const launch = () => {
      active++;
      const start = now();
      call().then((ok) => {
        if (ok !== true) return reject(new Error('a call in the benchmark did not return true'));
        const end = now();
        active--;
        calls.push({ start, end });
        if (end < t1) launch();
        else if (active === 0) resolve();
      }, reject);
    };
    for (let i = 0; i < k; i++) launch();
  });
  return common.callsPerSecond(calls, t0, t1);
}

async function main() {
  const opts = common.options();
  if (!opts.floor) throw new Error('--floor=<path of floor_benchmark> is required');
  const native = require(common.MODULE_PATH);
  const pkg = common.loadPackage();
  const { platform, userType, host } = COMBO;
  const code = native.generateAuthCode(platform, userType, host);
  const pairs = opts.quick ? 3 : 8;
  const calls = 3;

  const sync = [];
  for (let i = 0; i < pairs; i++) {
    const measureOurs = () => ({
      check: timeSync(() => native.validateRequest(code, platform, userType, host), calls),
      hash: timeSync(() => native.generateAuthCode(platform, userType, host), calls),
    });
    let f;
    let ours;
    if (i % 2 === 0) {
      f = floor(opts.floor, 1, 0.01, calls);
      ours = measureOurs();
    } else {
      ours = measureOurs();
      f = floor(opts.floor, 1, 0.01, calls);
    }
    sync.push({
      floorMs: f.ms,
      checkMs: ours.check.ms,
      hashMs: ours.hash.ms,
      check: ours.check.ms / f.ms,
      hash: ours.hash.ms / f.ms,
      checkCpu: ours.check.cpuMs / f.cpuMs,
      hashCpu: ours.hash.cpuMs / f.cpuMs,
    });
  }
  const pick = (list, key) => common.summary(list.map((x) => x[key]));
  const result = {
    pairs,
    sync: {
      floorMs: pick(sync, 'floorMs'),
      checkMs: pick(sync, 'checkMs'),
      hashMs: pick(sync, 'hashMs'),
      checkVsFloor: pick(sync, 'check'),
      hashVsFloor: pick(sync, 'hash'),
      checkCpuVsFloor: pick(sync, 'checkCpu'),
      hashCpuVsFloor: pick(sync, 'hashCpu'),
    },
  };

  if (pkg) {
    const validator = pkg.createValidator();
    const threads = os.availableParallelism();
    const call = () => validator.validateRequestAsync(code, platform, userType, host);
    await Promise.all(Array.from({ length: threads }, call));
    const windowMs = opts.quick ? 1200 : 2500;
    const asyncPairs = [];
    for (let i = 0; i < pairs; i++) {
      let f;
      let ours;
      if (i % 2 === 0) {
        f = floor(opts.floor, 2, 0.3, 1);
        ours = await inFlight(call, 16, 400, windowMs);
      } else {
        ours = await inFlight(call, 16, 400, windowMs);
        f = floor(opts.floor, 2, 0.3, 1);
      }
      asyncPairs.push({ floorPerSecond: f.perSecond, oursPerSecond: ours, ratio: ours / f.perSecond });
    }
    await validator.close();
    result.async = {
      threads,
      inFlight: 16,
      windowMs,
      floorPerSecond: pick(asyncPairs, 'floorPerSecond'),
      oursPerSecond: pick(asyncPairs, 'oursPerSecond'),
      ratio: pick(asyncPairs, 'ratio'),
    };
  }
  common.report(opts, result);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
