'use strict';

// The module in more than one Node.js environment: separate loads in one
// thread, worker threads working beside the main thread, workers terminated
// in the middle of a call, and processes that exit with the module loaded in
// several environments. Each environment keeps a table of its own.

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { Worker } = require('node:worker_threads');

const { modulePath, combinations } = require('../support/module.js');
const { cheapCode, withCost } = require('../support/codes.js');
const { runScript, describeExit } = require('../support/child.js');

// Cost-4 codes of demo combinations, each with the index of another
// combination in the list whose token differs. Only codes go to workers,
// never tokens.
function casesOf(list) {
  return list.map((c, i) => {
    let other = (i + 1) % list.length;
    while (list[other].token === c.token) other = (other + 1) % list.length;
    return { host: c.host, platform: c.platform, userType: c.userType, code: cheapCode(c.token), other };
  });
}
const cases = casesOf(combinations);
// A dozen combinations across two hosts, for the children below.
const someCases = casesOf(combinations.slice(5, 17));

// Validates every case for its own combination and for another one. Returns
// the labels of wrong answers. Also the body of the workers below.
function checkAll(hv, cases, rounds) {
  const wrong = [];
  for (let round = 0; round < rounds; round++) {
    for (const c of cases) {
      const o = cases[c.other];
      if (hv.validateRequest(c.code, c.platform, c.userType, c.host) !== true)
        wrong.push(`refused ${c.host}/${c.platform}/${c.userType}`);
      if (hv.validateRequest(c.code, o.platform, o.userType, o.host) !== false)
        wrong.push(`accepted for ${o.host}/${o.platform}/${o.userType}`);
    }
  }
  return wrong;
}

function dlopen() {
  const m = { exports: {} };
  process.dlopen(m, modulePath);
  return m.exports;
}

describe('two loads in one thread', () => {
  let first;
  let second;

  before(() => {
    first = dlopen();
    second = dlopen();
  });

  it('give two exports objects with their own functions', () => {
    assert.notEqual(first, second);
    assert.deepEqual(Reflect.ownKeys(second), ['validateRequest', 'generateAuthCode']);
    assert.notEqual(first.validateRequest, second.validateRequest);
    assert.notEqual(first.generateAuthCode, second.generateAuthCode);
  });

  it('both validate, whichever was loaded last', () => {
    assert.deepEqual(checkAll(second, cases, 1), []);
    assert.deepEqual(checkAll(first, cases, 1), []);
    const third = dlopen();
    assert.deepEqual(checkAll(first, someCases, 1), []);
    assert.deepEqual(checkAll(third, someCases, 1), []);
  });
});

describe('worker threads', () => {
  it('validate in four workers while the main thread validates too', async () => {
    const threads = 4;
    const rounds = 1;
    const start = new Int32Array(new SharedArrayBuffer(4));
    const workers = [];
    for (let id = 0; id < threads; id++) {
      workers.push(
        new Worker(
          `
        const { parentPort, workerData } = require('node:worker_threads');
        const checkAll = ${checkAll};
        const hv = require(workerData.modulePath);
        parentPort.postMessage('loaded');
        Atomics.wait(workerData.start, 0, 0);
        parentPort.postMessage(checkAll(hv, workerData.cases, workerData.rounds));
      `,
          { eval: true, workerData: { modulePath, cases, rounds, start } },
        ),
      );
    }
    const messages = workers.map((w) => {
      const received = [];
      return new Promise((resolve, reject) => {
        w.on('message', (m) => received.push(m));
        w.once('error', reject);
        w.once('exit', (code) => resolve({ code, received }));
      });
    });
    // Every worker has loaded the module before any of them, or the main
    // thread, starts validating.
    await new Promise((resolve) => {
      let loaded = 0;
      for (const w of workers) {
        w.once('message', () => {
          if (++loaded === threads) resolve();
        });
      }
    });
    const hv = dlopen();
    Atomics.store(start, 0, 1);
    Atomics.notify(start, 0);
    assert.deepEqual(checkAll(hv, cases, rounds), [], 'main thread');
    for (const { code, received } of await Promise.all(messages)) {
      assert.equal(code, 0);
      assert.deepEqual(received, ['loaded', []]);
    }
  });

  it('survive workers terminated in the middle of a call, and the process exits cleanly', () => {
    const c = cases[0];
    const child = runScript(
      `
      const { Worker } = require('node:worker_threads');
      const c = ${JSON.stringify({ ...c, code12: withCost(c.code, 12) })};
      const hv = require(support.modulePath);
      // Each worker loads the module, says so, and then stays inside cost-12
      // calls: making a code, or checking one.
      const body = (call) => \`
        const { parentPort, workerData: c } = require('node:worker_threads');
        const hv = require(\${JSON.stringify(support.modulePath)});
        parentPort.postMessage('started');
        for (;;) \${call};
      \`;
      const calls = [
        'hv.generateAuthCode(c.platform, c.userType, c.host)',
        'hv.validateRequest(c.code12, c.platform, c.userType, c.host)',
      ];
      const rounds = 3;
      (async () => {
        const terminated = [];
        for (let round = 0; round < rounds; round++) {
          const workers = calls.map((call) => new Worker(body(call), { eval: true, workerData: c }));
          await Promise.all(workers.map((w) => new Promise((resolve) => w.once('message', resolve))));
          terminated.push(...(await Promise.all(workers.map((w) => w.terminate()))));
          // The main thread's table is untouched by the workers' loads and teardowns.
          const stillValid = hv.validateRequest(c.code, c.platform, c.userType, c.host);
          if (stillValid !== true) throw new Error('main thread refused');
        }
        report({ terminated });
      })();
    `,
      { timeoutMs: 60000 },
    );
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.signal, null);
    assert.equal(child.stderr, '');
    assert.deepEqual(child.report.terminated, Array(6).fill(1));
  });
});

describe('process exit', () => {
  it('is clean after loads in the main thread and in workers that have finished', () => {
    const child = runScript(`
      const { Worker } = require('node:worker_threads');
      const cases = ${JSON.stringify(someCases)};
      const checkAll = ${checkAll};
      const work = \`
        const { parentPort, workerData } = require('node:worker_threads');
        const checkAll = \${checkAll};
        parentPort.postMessage(checkAll(require(workerData.modulePath), workerData.cases, 1));
      \`;
      const run = () => new Promise((resolve, reject) => {
        const w = new Worker(work, { eval: true, workerData: { modulePath: support.modulePath, cases } });
        let wrong;
        w.once('message', (m) => (wrong = m));
        w.once('error', reject);
        w.once('exit', (code) => resolve({ code, wrong }));
      });
      (async () => {
        // A worker loads and exits before the main thread ever loads.
        const results = [await run()];
        const hv = require(support.modulePath);
        const both = Promise.all([run(), run()]);
        const main = checkAll(hv, cases, 1);
        results.push(...(await both));
        report({ results, main });
      })();
    `);
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.signal, null);
    assert.equal(child.stderr, '');
    assert.deepEqual(child.report, { results: Array(3).fill({ code: 0, wrong: [] }), main: [] });
  });

  it('is clean when the process exits while workers are still validating', () => {
    const child = runScript(`
      const { Worker } = require('node:worker_threads');
      const cases = ${JSON.stringify(someCases)};
      const checkAll = ${checkAll};
      const hv = require(support.modulePath);
      const work = \`
        const { parentPort, workerData } = require('node:worker_threads');
        const checkAll = \${checkAll};
        const hv = require(workerData.modulePath);
        parentPort.postMessage('started');
        for (;;) checkAll(hv, workerData.cases, 1);
      \`;
      const workerData = { modulePath: support.modulePath, cases };
      const workers = [0, 1].map(() => new Worker(work, { eval: true, workerData }));
      Promise.all(workers.map((w) => new Promise((resolve) => w.once('message', resolve)))).then(() => {
        report({ main: checkAll(hv, cases, 1) });
        process.exit(0);
      });
    `);
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.signal, null);
    assert.equal(child.stderr, '');
    assert.deepEqual(child.report, { main: [] });
  });
});
