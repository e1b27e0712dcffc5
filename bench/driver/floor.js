'use strict';

// The floor: libxcrypt's crypt_rn in a C++ loop (Google Benchmark), built in
// build-bench/ apart from the module's own build.

const fs = require('node:fs');
const path = require('node:path');
const common = require('../js/common');
const { run } = require('./process');

const ROOT = common.ROOT;
const BENCH_BUILD = path.join(ROOT, 'build-bench');
const FLOOR_BIN = path.join(BENCH_BUILD, 'bench', 'cpp', 'floor_benchmark');

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

function runFloor(tmp, quick) {
  const out = path.join(tmp, 'floor.json');
  run(
    FLOOR_BIN,
    [
      `--benchmark_repetitions=${quick ? 3 : 5}`,
      `--benchmark_min_time=${quick ? 0.2 : 0.5}`,
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

module.exports = { buildFloor, runFloor, FLOOR_BIN };
