'use strict';

// What loading costs: wall time of a whole `node` process that requires the
// module (its table is decoded at load) against `node -e 0`, the require
// alone timed inside a fresh process, and resident memory before and after.

const { spawnSync } = require('node:child_process');
const common = require('./common');

function nodeRun(code) {
  const result = spawnSync(process.execPath, ['-e', code], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] });
  if (result.status !== 0) throw new Error(`node -e ${JSON.stringify(code)} exited with ${result.status}`);
  return result.stdout;
}

// Runs inside a fresh process: times the require and reads memory around it.
const probe = (target) => `
const r0 = process.memoryUsage().rss;
const t0 = process.hrtime.bigint();
${target ? `require(${JSON.stringify(target)});` : ''}
const t1 = process.hrtime.bigint();
const r1 = process.memoryUsage().rss;
process.stdout.write(JSON.stringify({ ms: Number(t1 - t0) / 1e6, rssBefore: r0, rssAfter: r1 }));
`;

async function main() {
  const opts = common.options();
  const { Bench } = await import('tinybench');
  const targets = [
    ['node -e 0', null],
    ['require(header_validator.node)', common.MODULE_PATH],
  ];
  if (common.loadPackage()) targets.push(['require(package entry)', common.PACKAGE_ENTRY]);

  // Whole processes, one of each per round, so that each difference from
  // `node -e 0` is taken between runs a moment apart: a single process start
  // on a shared machine varies by more than the few milliseconds measured.
  const rounds = opts.quick ? 8 : 30;
  const processMs = new Map();
  for (let round = 0; round < rounds; round++) {
    const bench = new Bench({
      time: 0,
      iterations: 1,
      warmup: round === 0,
      warmupIterations: 1,
      warmupTime: 0,
      retainSamples: true,
      throws: true,
    });
    for (const [name, target] of targets) {
      // async: false, or tinybench runs the task once more just to find out.
      bench.add(name, () => nodeRun(target ? `require(${JSON.stringify(target)})` : '0'), { async: false });
    }
    await bench.run();
    for (const task of bench.tasks)
      processMs.set(task.name, [...(processMs.get(task.name) ?? []), ...task.result.latency.samples]);
  }

  const probes = opts.quick ? 4 : 15;
  const results = targets.map(([name, target]) => {
    const inside = [];
    for (let i = 0; i < probes; i++) inside.push(JSON.parse(nodeRun(probe(target))));
    return {
      name,
      processMs: common.summary(processMs.get(name)),
      requireMs: common.summary(inside.map((p) => p.ms)),
      rssMiB: common.summary(inside.map((p) => p.rssAfter / 2 ** 20)),
      rssAddedMiB: common.summary(inside.map((p) => (p.rssAfter - p.rssBefore) / 2 ** 20)),
    };
  });
  const base = processMs.get(targets[0][0]);
  for (const r of results) {
    const diffs = processMs.get(r.name).map((ms, i) => ms - base[i]);
    r.processMsOverNodeRange = common.summary(diffs);
    r.processMsOverNode = r.processMsOverNodeRange.median;
  }
  common.report(opts, { results });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
