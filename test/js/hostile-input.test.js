'use strict';

// Strings a client controls, in every argument of both functions: empty,
// 10 MB, NUL bytes, lone surrogates, control characters, 4-byte UTF-8 and
// names of Object.prototype; every bcrypt variant letter and every cost from
// 00 to 99. Nothing may crash, throw, validate or produce a code, and a name
// may only ever cost one bounded log line. (Non-string arguments are covered
// with the argument errors, cut and bloated codes with the mended faults.)

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');

const { modulePath, demoTokens } = require('../support/module.js');
const { cheapCode, withCost, withPrefix, cost10HashMs, repeat } = require('../support/codes.js');
const { runScript, stderrLines, describeExit } = require('../support/child.js');

const hv = require(modulePath);

const KNOWN = { host: 'staging.example.com', platform: 'ANDROID', userType: 'KIOSK_STORE' };
const KNOWN_CODE = cheapCode(demoTokens[KNOWN.host][KNOWN.platform][KNOWN.userType]);
const validate = (code) => hv.validateRequest(code, KNOWN.platform, KNOWN.userType, KNOWN.host);

// Hostile variants of a legitimate argument. Also runs in the child below, so
// it builds its 10 MB strings there rather than being shipped them.
function hostileVariants(valid) {
  const tenMegabytes = 10 * 1024 * 1024;
  return [
    ['empty', ''],
    ['10 MB', 'a'.repeat(tenMegabytes)],
    ['10 MB after the real value', valid + 'a'.repeat(tenMegabytes)],
    ['a NUL after the real value', valid + '\0'],
    ['a NUL and more after the real value', valid + '\0x'],
    ['a NUL before the real value', '\0' + valid],
    ['a lone high surrogate after the real value', valid + '\uD800'],
    ['a lone low surrogate before the real value', '\uDC00' + valid],
    ['a reversed surrogate pair', valid.slice(0, -2) + '\uDC00\uD800'],
    ['a newline after the real value', valid + '\n'],
    ['a carriage return before the real value', '\r' + valid],
    ['a terminal escape sequence', valid + '\x1b[2J\x1b[H'],
    ['control characters only', '\x01\x02\x7f\x1f'],
    ['a 4-byte character after the real value', valid + '\u{1F600}'],
    ['4-byte characters only', '\u{1F600}'.repeat(30)],
    ['__proto__', '__proto__'],
    ['constructor', 'constructor'],
    ['prototype', 'prototype'],
    ['toString', 'toString'],
  ];
}

// The line a failed lookup writes, by the argument that was not found.
const LINE_PREFIX = ["Platform '", "UserType '", "Host '"];
// Names are cut at 256 bytes and control bytes take four characters each,
// so no line may approach the size of what was sent.
const LONGEST_LINE = 2 * 4 * 256 + 200;

describe('hostile strings in every argument', () => {
  const valid = {
    validateRequest: [KNOWN_CODE, KNOWN.platform, KNOWN.userType, KNOWN.host],
    generateAuthCode: [KNOWN.platform, KNOWN.userType, KNOWN.host],
  };
  let child;

  before(() => {
    child = runScript(
      `
      const hv = require(support.modulePath);
      const hostileVariants = ${hostileVariants};
      const valid = ${JSON.stringify(valid)};
      const attempt = (fn) => {
        try {
          const value = fn();
          return value === null || typeof value === 'boolean' ? value : typeof value;
        } catch (e) {
          return 'threw ' + e;
        }
      };
      const results = [];
      for (const [name, args] of Object.entries(valid)) {
        for (let position = 0; position < args.length; position++) {
          for (const [what, value] of hostileVariants(args[position])) {
            const call = [...args];
            call[position] = value;
            // One marker line per call on stdout would not say which line on
            // standard error belongs to it; count lines before and after instead.
            results.push({ name, position, what, result: attempt(() => hv[name](...call)) });
          }
        }
      }
      report({
        control: hv.validateRequest(...valid.validateRequest),
        results,
      });
    `,
      { timeoutMs: 120000 },
    );
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.signal, null);
    assert.equal(child.report.control, true, 'the legitimate arguments do not validate on their own');
  });

  it('never validate, never produce a code and never throw', () => {
    const wrong = child.report.results
      .filter((r) => r.result !== (r.name === 'validateRequest' ? false : null))
      .map((r) => `${r.name} argument ${r.position}, ${r.what}: ${r.result}`);
    assert.deepEqual(wrong, []);
  });

  it('log one bounded line for each hostile name, and nothing for a hostile code', () => {
    const lines = stderrLines(child.stderr);
    // Every call with a hostile name fails its lookup; a hostile code comes
    // with the legitimate combination, whose lookup succeeds.
    const expected = child.report.results.filter((r) => !(r.name === 'validateRequest' && r.position === 0));
    assert.equal(lines.length, expected.length);
    expected.forEach((r, i) => {
      const namePosition = r.name === 'validateRequest' ? r.position - 1 : r.position;
      const where = `${r.name} argument ${r.position}, ${r.what}`;
      assert.ok(lines[i].startsWith(LINE_PREFIX[namePosition]), `${where}: ${JSON.stringify(lines[i].slice(0, 80))}`);
      assert.ok(
        Buffer.byteLength(lines[i]) <= LONGEST_LINE,
        `${where}: a line of ${Buffer.byteLength(lines[i])} bytes`,
      );
      // eslint-disable-next-line no-control-regex -- looking for exactly these bytes
      assert.doesNotMatch(lines[i], /[\x00-\x1f\x7f]/, `${where}: a raw control character reached the log`);
    });
  });

  it('print a lone surrogate as the replacement character, not as broken UTF-8', () => {
    const lines = stderrLines(child.stderr);
    assert.ok(lines.includes(`Host '${KNOWN.host}\uFFFD' not found in verificationTokenData`));
    assert.ok(lines.includes(`Platform '\uFFFD${KNOWN.platform}' not found in verificationTokenData`));
  });
});

describe('bcrypt variant letters', () => {
  it('validate under a, b, x and y only, for all of printable ASCII and beyond', () => {
    const letters = [];
    for (let c = 0x20; c < 0x7f; c++) letters.push(String.fromCharCode(c));
    letters.push('\0', '\x7f', 'é', '\u{1F600}', '\uD800');
    const accepted = letters.filter((letter) => validate(withPrefix(KNOWN_CODE, `$2${letter}$`)) !== false);
    assert.deepEqual(accepted.sort(), ['a', 'b', 'x', 'y']);
  });
});

describe('costs 00 to 99', () => {
  const costs = Array.from({ length: 100 }, (_, cost) => cost);
  const cost = (n) => withCost(KNOWN_CODE, n);

  it('validate at the cost the code was made with, and at no other', () => {
    // Costs 05 to 12 are hashed and simply do not match: the work is at most
    // that of one cost-13 hash in all.
    const accepted = costs.filter((n) => validate(cost(n)) !== false);
    assert.deepEqual(accepted, [4]);
  });

  it('refuse every cost outside 04 to 12 without hashing', () => {
    const outside = costs.filter((n) => n < 4 || n > 12);
    const n = 1000;
    const yardstickMs = cost10HashMs();
    const budgetMs = (n * yardstickMs) / 100;
    const loop = repeat(n, budgetMs, (i) => validate(cost(outside[i % outside.length])), false);
    assert.deepEqual(loop.unexpected, []);
    assert.equal(loop.completed, n, `${loop.completed} of ${n} calls within ${budgetMs} ms`);
    assert.ok(loop.elapsedMs < budgetMs, `${loop.elapsedMs} ms for ${n} calls, one cost-10 hash ${yardstickMs} ms`);
  });

  it('refuse cost digits that are not ASCII digits', () => {
    const accepted = ['0a', 'a4', ' 4', '4 ', '+4', '-4', '\u0660\u0664', '\uFF10\uFF14', '\0\0'].filter(
      (digits) => validate(KNOWN_CODE.slice(0, 4) + digits + KNOWN_CODE.slice(6)) !== false,
    );
    assert.deepEqual(accepted, []);
  });
});
