'use strict';

// The JavaScript layer answers a check on the calling thread only when the
// native module would refuse it without hashing; both read the rules of a
// received code from shared/auth_code_rules.json. A preloaded shim
// (test/support/fail_shim.c, HV_TRACE=crypt_data) writes a line to standard
// error for every hash started on the main thread, so the child below shows
// which codes the native function hashes, and that the async call never hashes
// there.

const { after, before, it } = require('node:test');
const assert = require('node:assert/strict');
const { demoCode, withCost, withPrefix, withCharAt } = require('../support/codes.js');
const { runScript, stderrLines, describeExit } = require('../support/child.js');
const { buildShim, noCompiler, sanitizerAllocator } = require('../support/shim.js');

const STORE = ['ANDROID', 'STORE', 'example.com'];

// Cost-4 codes of the combination, and malformed ones made from them.
function codes() {
  const code = demoCode(...STORE);
  const list = [code, code.slice(0, 59), `${code}u`, '', code.replace(/.$/, 'é')];
  for (const prefix of ['$2a$', '$2b$', '$2x$', '$2y$', '$2c$', '$3a$', '$2a_', '2a$$'])
    list.push(withPrefix(code, prefix));
  for (let cost = 0; cost <= 40; cost++) list.push(withCost(code, cost));
  list.push(withCost(code, 'a4'), withCost(code, ' 4'));
  // Only four characters are canonical at the end of the salt.
  for (const char of './AOPeuz09') list.push(withCharAt(code, 28, char));
  for (let at = 0; at < 60; at += 1) for (const char of ['!', '\0', '\u00e9']) list.push(withCharAt(code, at, char));
  return list;
}

let shim;
before(() => {
  if (!noCompiler && !sanitizerAllocator) shim = buildShim();
});
after(() => shim?.remove());

it(
  'the async call refuses on the calling thread exactly the codes the native function never hashes',
  {
    skip: noCompiler || sanitizerAllocator,
  },
  () => {
    const list = codes();
    const child = runScript(
      `
    const fs = require('node:fs');
    const hv = require('./lib');
    const codes = JSON.parse(process.env.CODES);
    const STORE = ['ANDROID', 'STORE', 'example.com'];
    const v = hv.createValidator({ threads: 1, cache: false });
    (async () => {
      const answeredHere = [];
      for (const [i, code] of codes.entries()) {
        const before = v.stats().refusedWithoutHashing;
        fs.writeSync(2, 'async ' + i + '\\n');
        await v.validateRequestAsync(code, ...STORE);
        answeredHere.push(v.stats().refusedWithoutHashing > before);
        fs.writeSync(2, 'sync ' + i + '\\n');
        hv.validateRequest(code, ...STORE);
      }
      await v.close();
      report(answeredHere);
    })();`,
      {
        env: {
          CODES: JSON.stringify(list),
          HV_TRACE: 'crypt_data',
          LD_PRELOAD: shim.preload,
        },
      },
    );
    assert.equal(child.status, 0, describeExit(child));
    // Hashes started on the main thread, by section.
    const hashes = new Map();
    let section;
    for (const line of stderrLines(child.stderr)) {
      if (line === 'crypt_data') hashes.set(section, (hashes.get(section) ?? 0) + 1);
      else section = line;
    }
    const answeredHere = child.report;
    assert.equal(answeredHere.length, list.length);
    const disagreements = list.filter((code, i) => answeredHere[i] === (hashes.get(`sync ${i}`) === 1));
    assert.deepEqual(disagreements, []);
    assert.deepEqual(
      list.filter((code, i) => hashes.has(`async ${i}`)),
      [],
      'a hash ran on the main thread',
    );
    // Hashed: the code, its four accepted variants, costs 4 to 12, the four canonical salt endings.
    assert.equal(answeredHere.filter((here) => !here).length, 1 + 4 + 9 + 4);
  },
);
