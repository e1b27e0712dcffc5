'use strict';

// Long runs: worker threads that load the module, work and are terminated, in
// some cases in the middle of a call, round after round beside a busy main
// thread; and a million refused calls with real validations among them, after
// which resident memory must have settled.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { modulePath, combinations, ROOT } = require('../support/module.js');
const { cheapCode } = require('../support/codes.js');
const { runScript, describeExit } = require('../support/child.js');

// Cost-4 codes of a dozen demo combinations across hosts, each with the index
// of another case whose token differs. Only codes go to the children.
const cases = combinations
  .filter((_, i) => i % 5 === 0)
  .map((c) => ({ host: c.host, platform: c.platform, userType: c.userType, code: cheapCode(c.token), token: c.token }))
  .map((c, i, list) => {
    let other = (i + 1) % list.length;
    while (list[other].token === c.token) other = (other + 1) % list.length;
    return { host: c.host, platform: c.platform, userType: c.userType, code: c.code, other };
  });

// Labels of wrong answers over the first count cases. Runs in the workers and
// the main thread.
function checkAll(hv, cases, count = cases.length) {
  const wrong = [];
  for (const c of cases.slice(0, count)) {
    const o = cases[c.other];
    if (hv.validateRequest(c.code, c.platform, c.userType, c.host) !== true)
      wrong.push(`refused ${c.host}/${c.platform}/${c.userType}`);
    if (hv.validateRequest(c.code, o.platform, o.userType, o.host) !== false)
      wrong.push(`accepted for ${o.host}/${o.platform}/${o.userType}`);
  }
  return wrong;
}

describe('worker threads soak', () => {
  it('8 workers x 20 rounds, terminated in the middle of calls beside a busy main thread; the process exits 0', () => {
    const child = runScript(
      `
      const { Worker } = require('node:worker_threads');
      const hv = require(support.modulePath);
      const cases = ${JSON.stringify(cases)};
      const checkAll = ${checkAll};
      const WORKERS = 8;
      const ROUNDS = 20;
      const CODE = /^\\$2a\\$12\\$[./A-Za-z0-9]{53}$/;

      const body = \`
        const { parentPort, workerData } = require('node:worker_threads');
        const checkAll = \${checkAll};
        const hv = require(workerData.modulePath);
        parentPort.postMessage({ stage: 'loaded' });
        const wrong = checkAll(hv, workerData.cases);
        const c = workerData.cases[workerData.pick];
        parentPort.postMessage({ stage: 'generating' });
        const code = hv.generateAuthCode(c.platform, c.userType, c.host);
        parentPort.postMessage({ stage: 'done', wrong, code });
      \`;

      // How a worker ends, by its number: terminated once it is inside its
      // generateAuthCode, once it has loaded (inside its validations), after a
      // random delay from its start (anywhere, while loading included), or
      // not at all.
      const ENDINGS = ['at generating', 'at loaded', 'at random', 'never'];

      function runWorker(id, round) {
        const ending = ENDINGS[id % ENDINGS.length];
        const pick = (id + round) % cases.length;
        const w = new Worker(body, { eval: true, workerData: { modulePath: support.modulePath, cases, pick } });
        const outcome = { ending, pick, stages: [], error: null };
        const exited = new Promise((resolve) => w.once('exit', resolve));
        w.on('error', (e) => (outcome.error = String(e)));
        w.on('message', (m) => {
          outcome.stages.push(m.stage);
          if (m.stage === 'done') Object.assign(outcome, { wrong: m.wrong, code: m.code });
          const endNow = (ending === 'at generating' && m.stage === 'generating') ||
            (ending === 'at loaded' && m.stage === 'loaded');
          if (endNow) {
            w.terminate();
          }
        });
        if (ending === 'at random') setTimeout(() => w.terminate(), Math.random() * 40);
        return exited.then((exitCode) => ({ ...outcome, exitCode }));
      }

      // A short pause rather than setImmediate: the main thread keeps working
      // without taking a whole core from the workers.
      const yieldToEvents = () => new Promise((resolve) => setTimeout(resolve, 5));

      (async () => {
        const totals = { workers: 0, completed: 0, terminatedInGenerate: 0, mainCodes: 0 };
        const problems = [];
        for (let round = 0; round < ROUNDS; round++) {
          let settled = false;
          const runs = Promise.all(Array.from({ length: WORKERS }, (_, id) => runWorker(id, round))).then((r) => {
            settled = true;
            return r;
          });
          // The main thread does the same work meanwhile, in slices, so that
          // the workers' messages (and the terminations they trigger) get through.
          problems.push(...checkAll(hv, cases).map((w) => 'main: ' + w));
          await yieldToEvents();
          const c = cases[round % cases.length];
          const made = hv.generateAuthCode(c.platform, c.userType, c.host);
          if (!CODE.test(made)) problems.push('main: generateAuthCode gave no code');
          totals.mainCodes++;
          while (!settled) {
            problems.push(...checkAll(hv, cases, 2).map((w) => 'main: ' + w));
            await yieldToEvents();
          }
          const outcomes = await runs;
          let checkedOne = false;
          for (const o of outcomes) {
            totals.workers++;
            if (o.error) problems.push('worker error: ' + o.error);
            if (o.stages.includes('done')) {
              totals.completed++;
              // A termination may still reach a worker between its last message and its exit.
              const cleanExit = o.exitCode === 0 || (o.ending !== 'never' && o.exitCode === 1);
              if (!cleanExit) problems.push('a finished worker exited with ' + o.exitCode);
              problems.push(...o.wrong.map((w) => 'worker: ' + w));
              if (!CODE.test(o.code)) {
                problems.push('worker: generateAuthCode gave no code');
              } else if (!checkedOne && round % 4 === 0) {
                // Every fourth round the main thread checks one worker's code (cost 12).
                checkedOne = true;
                const p = cases[o.pick];
                const ok = hv.validateRequest(o.code, p.platform, p.userType, p.host);
                if (ok !== true) problems.push('a worker code does not validate');
              }
            } else {
              if (o.ending === 'never') problems.push('a worker left alone did not finish');
              // 0 when it had finished by the time terminate() reached it.
              if (o.exitCode !== 1 && o.exitCode !== 0) problems.push('a terminated worker exited with ' + o.exitCode);
              if (o.ending === 'at generating' && o.stages.includes('generating')) totals.terminatedInGenerate++;
            }
          }
        }
        // The main thread's table outlives every worker's load and teardown.
        problems.push(...checkAll(hv, cases).map((w) => 'main, at the end: ' + w));
        report({ totals, problems });
      })();
    `,
      { timeoutMs: 300000 },
    );
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.signal, null);
    assert.equal(child.stderr, '');
    const { totals, problems } = child.report;
    assert.deepEqual(problems, []);
    assert.equal(totals.workers, 8 * 20);
    assert.equal(totals.mainCodes, 20);
    // Two of every eight workers are left to finish; the termination tests
    // above mean nothing unless some workers were stopped inside a call.
    assert.ok(totals.completed >= 2 * 20, `${totals.completed} workers finished`);
    assert.ok(totals.terminatedInGenerate > 0, 'no worker was terminated inside generateAuthCode');
  });
});

// Sanitized builds and their allocators make resident memory meaningless.
const releaseBuild = path.resolve(modulePath) === path.join(ROOT, 'build', 'Release', 'header_validator.node');
const sanitizerPreloaded = /(asan|tsan|msan|lsan)[^/:]*\.so/.test(process.env.LD_PRELOAD ?? '');
const notRelease =
  !releaseBuild || sanitizerPreloaded ? 'resident memory is measured on the release build only' : false;

describe('memory soak', { skip: notRelease }, () => {
  it('a million refused calls and 200 validations leave resident memory settled', (t) => {
    const known = cases[0];
    const script = `
      const hv = require(${JSON.stringify(modulePath)});
      const cases = ${JSON.stringify(cases)};
      const known = cases[0];
      const cut = known.code.slice(0, 59);
      // The refusals: an unknown host (logged), a malformed code, no code for
      // an unknown combination (logged), and an argument error.
      const refusals = [
        () => hv.validateRequest(known.code, known.platform, known.userType, 'unknown.example'),
        () => hv.validateRequest(cut, known.platform, known.userType, known.host),
        () => hv.generateAuthCode('WEB', 'PROVIDER', known.host),
        () => {
          try {
            return hv.validateRequest(known.code);
          } catch (e) {
            return e instanceof TypeError ? null : e;
          }
        },
      ];
      const expected = [false, false, null, null];
      const megabytes = () => {
        gc();
        gc();
        return process.memoryUsage().rss / (1024 * 1024);
      };
      let wrong = 0;
      const refuse = (n) => {
        for (let i = 0; i < n; i++) if (refusals[i & 3]() !== expected[i & 3]) wrong++;
      };
      // The first hundred thousand let V8's heap grow to its working size.
      refuse(100000);
      const samples = [megabytes()];
      for (let chunk = 0; chunk < 9; chunk++) {
        refuse(100000);
        samples.push(megabytes());
      }
      let validated = 0;
      for (let i = 0; i < 200; i++) {
        const c = cases[i % cases.length];
        if (hv.validateRequest(c.code, c.platform, c.userType, c.host) === true) validated++;
      }
      samples.push(megabytes());
      process.stdout.write(JSON.stringify({ wrong, validated, samples }) + '\\n');
    `;
    // Standard error goes to /dev/null: half the refusals log a line.
    const run = spawnSync(process.execPath, ['--expose-gc', '-e', script], {
      stdio: ['ignore', 'pipe', 'ignore'],
      encoding: 'utf8',
      timeout: 300000,
      killSignal: 'SIGKILL',
    });
    assert.equal(run.status, 0, `child exited with status ${run.status}, signal ${run.signal}`);
    const { wrong, validated, samples } = JSON.parse(run.stdout.trim().split('\n').pop());
    assert.equal(wrong, 0);
    assert.equal(validated, 200);
    const growth = Math.max(...samples) - samples[0];
    t.diagnostic(
      `resident memory (MB) after 100k refusals, each further 100k, and 200 validations: ` +
        `${samples.map((s) => s.toFixed(1)).join(' ')}`,
    );
    // Noise is well under a megabyte; a leak of a few dozen bytes per call
    // would add tens of megabytes over 900,000 calls.
    assert.ok(
      growth < 24,
      `resident memory grew by ${growth.toFixed(1)} MB after the first 100,000 calls (${known.host})`,
    );
  });
});
