'use strict';

// Microseconds per refused call: codes and combinations that must be turned
// away without any bcrypt work. The unknown combination writes a line to
// standard error on every call, so the driver runs this script with standard
// error sent to /dev/null (the write itself is still part of the cost).

const common = require('./common');

const { COMBO } = common;
const BATCH = 200;
const TEN_MB = 'a'.repeat(10 * 1024 * 1024);

async function main() {
  const opts = common.options();
  const { Bench } = await import('tinybench');
  const native = require(common.MODULE_PATH);
  const pkg = common.loadPackage();
  const validator = pkg?.createValidator();
  const { platform, userType, host } = COMBO;

  const valid = native.generateAuthCode(platform, userType, host);
  const withCost = (cost) => `${valid.slice(0, 4)}${cost}${valid.slice(6)}`;
  // Built once, so that the figures hold the module's work and not string building.
  const malformed60 = `$2a$12$${'!'.repeat(53)}`;
  const cost13 = withCost('13');
  const cost31 = withCost('31');
  const withNul = `${valid.slice(0, 40)}\0${valid.slice(41)}`;
  const cases = [
    ['unknown host', () => native.validateRequest(valid, platform, userType, 'unknown.example.net'), false],
    ['unknown user type (generate)', () => native.generateAuthCode(platform, 'NOBODY', host), null],
    ['malformed code, short', () => native.validateRequest('not-a-code', platform, userType, host), false],
    ['malformed code, 60 chars', () => native.validateRequest(malformed60, platform, userType, host), false],
    ['cost 13, above the cap', () => native.validateRequest(cost13, platform, userType, host), false],
    ['cost 31', () => native.validateRequest(cost31, platform, userType, host), false],
    ['10 MB code', () => native.validateRequest(TEN_MB, platform, userType, host), false],
    ['NUL byte in code', () => native.validateRequest(withNul, platform, userType, host), false],
  ];
  for (const [name, fn, expected] of cases) {
    if (fn() !== expected) throw new Error(`sanity check failed: ${name} was not refused`);
  }

  const bench = new Bench({
    time: 0,
    iterations: opts.quick ? 20 : 60,
    warmupIterations: 20,
    warmupTime: 0,
    throws: true,
  });
  for (const [name, fn] of cases) {
    // A batch per sample: one refusal is too short for a single timer read.
    bench.add(
      name,
      () => {
        const start = bench.now();
        for (let i = 0; i < BATCH; i++) fn();
        const elapsed = bench.now() - start;
        return { overriddenDuration: elapsed / BATCH, overriddenIterationCost: elapsed };
      },
      { async: false },
    );
  }
  if (validator) {
    // The async function answers these on the calling thread too, without the
    // pool: the refusals, and a code it has checked before, from its cache.
    await validator.validateRequestAsync(valid, platform, userType, host);
    for (const [name, code] of [
      ['malformed code, short (async)', 'not-a-code'],
      ['cost 13, above the cap (async)', cost13],
      ['cached valid code (async)', valid],
    ]) {
      bench.add(name, () => validator.validateRequestAsync(code, platform, userType, host), { async: true });
    }
  }
  await bench.run();
  await validator?.close();

  const results = bench.tasks.map((task) => ({
    name: task.name,
    us: common.fromTinybench(task, 1000),
    batch: task.name.includes('async') ? 1 : BATCH,
  }));
  common.report(opts, { results });
}

main().catch((err) => {
  process.stdout.write(`${JSON.stringify({ error: String(err?.stack ?? err) })}\n`);
  process.exit(1);
});
