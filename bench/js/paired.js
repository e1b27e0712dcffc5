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
// And ours against the native peers the same way, call by call in one
// process: validateRequest against bcrypt.compareSync and
// @node-rs/bcrypt's verifySync, generateAuthCode against their hashSync.

const os = require('node:os');
const { spawnSync } = require('node:child_process');
const bcrypt = require('bcrypt');
const nodeRs = require('@node-rs/bcrypt');
const common = require('./common');

const { COMBO, COST } = common;
const now = () => performance.now();
// Until the first 16 calls have drained through the two threads and calls
// start and finish at a steady rate; counting from earlier overstates it.
const WARMUP_16_MS = 2300;

function floor(binary, threads, minTime, repetitions) {
  const result = spawnSync(
    binary,
    [
      `--benchmark_filter=^BM_CryptRn/cost:12/real_time/threads:${threads}$`,
      `--benchmark_min_time=${minTime}`,
      `--benchmark_repetitions=${repetitions}`,
      '--benchmark_format=json',
    ],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] },
  );
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
  const t0 = now() + warmupMs;
  const t1 = t0 + windowMs;
  const calls = await common.keepInFlight(call, k, t1);
  return common.callsPerSecond(calls, t0, t1);
}

async function main() {
  const opts = common.options();
  if (!opts.floor) throw new Error('--floor=<path of floor_benchmark> is required');
  const native = require(common.MODULE_PATH);
  const pkg = common.loadPackage();
  const { platform, userType, host } = COMBO;
  const code = native.generateAuthCode(platform, userType, host);
  const pairs = opts.quick ? 4 : 16;
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

  const token = common.demoToken();
  const peerPairs = opts.quick ? 4 : 12;
  const peerCases = [
    ['bcrypt', 'check', () => bcrypt.compareSync(token, code)],
    ['bcrypt', 'hash', () => bcrypt.hashSync(token, COST)],
    ['@node-rs/bcrypt', 'check', () => nodeRs.verifySync(token, code)],
    ['@node-rs/bcrypt', 'hash', () => nodeRs.hashSync(token, COST)],
  ];
  const ourFn = {
    check: () => native.validateRequest(code, platform, userType, host),
    hash: () => native.generateAuthCode(platform, userType, host),
  };
  result.peers = peerCases.map(([library, operation, peerFn]) => {
    const list = [];
    for (let i = 0; i < peerPairs; i++) {
      const first = i % 2 === 0 ? ourFn[operation] : peerFn;
      const second = i % 2 === 0 ? peerFn : ourFn[operation];
      const a = timeSync(first, 1);
      const b = timeSync(second, 1);
      const [ours, peer] = i % 2 === 0 ? [a, b] : [b, a];
      list.push({ ms: ours.ms / peer.ms, cpu: ours.cpuMs / peer.cpuMs });
    }
    return { library, operation, pairs: peerPairs, oursOverPeer: pick(list, 'ms'), cpuOursOverPeer: pick(list, 'cpu') };
  });

  if (pkg) {
    // One code in every call: without the cache, each is a hash on the pool.
    const validator = pkg.createValidator({ cache: false });
    const threads = os.availableParallelism();
    const call = () => validator.validateRequestAsync(code, platform, userType, host);
    await Promise.all(Array.from({ length: threads }, call));
    const windowMs = opts.quick ? 1200 : 2500;
    const asyncPairs = [];
    for (let i = 0; i < (opts.quick ? 3 : 6); i++) {
      let f;
      let ours;
      if (i % 2 === 0) {
        f = floor(opts.floor, 2, 0.3, 1);
        ours = await inFlight(call, 16, WARMUP_16_MS, windowMs);
      } else {
        ours = await inFlight(call, 16, WARMUP_16_MS, windowMs);
        f = floor(opts.floor, 2, 0.3, 1);
      }
      asyncPairs.push({ floorPerSecond: f.perSecond, oursPerSecond: ours, ratio: ours / f.perSecond });
    }
    await validator.close();
    result.async = {
      pairs: asyncPairs.length,
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
