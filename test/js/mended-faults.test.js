'use strict';

// Faults the module guards against: codes for combinations without a token,
// names that reach the prototype chain, client-chosen cost, NULs and lengths
// that would cut or bloat a code, and names too long to convert. What the
// module logs for a failed lookup is tested in diagnostic-lines.test.js, how
// it reaches standard error in diagnostic-delivery.test.js.
//
// "Without hashing" is shown by orders of magnitude: a loop of N refusals must
// finish within N / 100 of one bcryptjs cost-10 hash measured on the spot,
// while every code sent would cost a cost-12 (or higher) hash if the module
// hashed it. Loops give up at that budget, so a regression fails promptly.
// Calls whose lookup fails write to standard error and so run in a child.

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');

const { modulePath, demoTokens } = require('../support/module.js');
const { cheapCode, withCost, withPrefix, withCharAt, cost10HashMs, repeat } = require('../support/codes.js');
const { runScript, stderrLines, describeExit } = require('../support/child.js');

const hv = require(modulePath);

const KNOWN = { host: 'example.com', platform: 'IOS', userType: 'STORE' };
const KNOWN_TOKEN = demoTokens[KNOWN.host][KNOWN.platform][KNOWN.userType];
const validate = (code, c = KNOWN) => hv.validateRequest(code, c.platform, c.userType, c.host);

// Only the top two bits of the 22nd salt character count; the canonical ones carry zeros below.
const { alphabet: ALPHABET, canonicalLastSaltChars: CANONICAL_LAST_SALT } = require('../../lib/auth-code-rules').rules;

// The characters that decode to the same salt as the canonical one at index 28.
function nonCanonicalSiblings(code) {
  const index = ALPHABET.indexOf(code[28]);
  const group = index & ~15;
  return [...ALPHABET.slice(group, group + 16)].filter((ch) => ch !== code[28]);
}

const TEN_MB = 10 * 1024 * 1024;

describe('no token, no code', () => {
  // A code of the empty string is what anyone could send for a combination
  // without a token if the module hashed one.
  const cases = [
    ['WEB', 'PROVIDER', 'example.com'],
    ['IOS', 'KIOSK', 'dev.example.com'],
    ['ANDROID', 'USER', 'nope.example'],
    ['WEB', 'USER', ''],
  ];
  let child;

  before(() => {
    child = runScript(`
      const hv = require(support.modulePath);
      const emptyCode = support.cheapCode('');
      report(${JSON.stringify(cases)}.map(([platform, userType, host]) => ({
        valid: hv.validateRequest(emptyCode, platform, userType, host),
        generated: hv.generateAuthCode(platform, userType, host),
      })));
    `);
    assert.equal(child.status, 0, describeExit(child));
  });

  it('refuses a code of the empty string for an unknown combination or host', () => {
    assert.deepEqual(
      child.report.map((r) => r.valid),
      cases.map(() => false),
    );
  });

  it('generates no code for them', () => {
    assert.deepEqual(
      child.report.map((r) => r.generated),
      cases.map(() => null),
    );
  });

  it('still logs the failed lookup of every call', () => {
    const expected = cases.flatMap(([platform, userType, host]) => {
      let line;
      if (!(host in demoTokens)) line = `Host '${host}' not found in verificationTokenData`;
      else line = `UserType '${userType}' not found under platform '${platform}'`;
      return [line, line];
    });
    assert.deepEqual(stderrLines(child.stderr), expected);
  });
});

describe('names are looked up as own properties only', () => {
  // [platform, userType, host, the string an inherited-property walk reaches,
  // or null where it reaches something else, which must not throw either]
  const inherited = [
    ['constructor', 'name', '__proto__', 'Object'],
    ['constructor', 'name', 'example.com', 'Object'],
    ['constructor', 'name', 'constructor', 'Function'],
    ['constructor', 'name', 'toString', 'Function'],
    ['constructor', 'name', 'hasOwnProperty', 'Function'],
    ['name', '0', 'constructor', 'O'],
    ['name', '0', 'toString', 't'],
    ['name', '1', 'hasOwnProperty', 'a'],
    ['name', 'length', 'hasOwnProperty', null],
    ['WEB', '__proto__', 'example.com', null],
    ['WEB', 'constructor', 'example.com', null],
    ['WEB', 'toString', 'example.com', null],
    ['__proto__', 'USER', 'example.com', null],
    ['WEB', 'USER', '__proto__', null],
  ];
  // Names that would match a stored name if cut at their first NUL.
  const withNul = [
    ['WEB', 'USER', 'example.com\0evil'],
    ['WEB', 'USER', 'example.com\0'],
    ['WEB\0', 'USER', 'example.com'],
    ['WEB', 'USER\0', 'example.com'],
    ['WEB', 'USER\0x', 'example.com'],
  ];
  let child;

  before(() => {
    child = runScript(`
      const hv = require(support.modulePath);
      const attempt = (fn) => {
        try {
          return fn();
        } catch (e) {
          return 'threw ' + e;
        }
      };
      const realCode = support.cheapCode(support.demoTokens['example.com'].WEB.USER);
      report({
        control: hv.validateRequest(realCode, 'WEB', 'USER', 'example.com'),
        inherited: ${JSON.stringify(inherited)}.map(([platform, userType, host, reached]) => ({
          valid: attempt(() => hv.validateRequest(support.cheapCode(reached ?? ''), platform, userType, host)),
          generated: attempt(() => hv.generateAuthCode(platform, userType, host)),
        })),
        withNul: ${JSON.stringify(withNul)}.map(([platform, userType, host]) => ({
          valid: attempt(() => hv.validateRequest(realCode, platform, userType, host)),
          generated: attempt(() => hv.generateAuthCode(platform, userType, host)),
        })),
      });
    `);
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.report.control, true, 'the code used for the NUL names does not validate on its own');
  });

  it('inherited names reach no token', () => {
    assert.deepEqual(
      child.report.inherited,
      inherited.map(() => ({ valid: false, generated: null })),
    );
  });

  it('a name with a NUL is not found', () => {
    assert.deepEqual(
      child.report.withNul,
      withNul.map(() => ({ valid: false, generated: null })),
    );
  });

  it('each of those lookups logs one line', () => {
    assert.equal(stderrLines(child.stderr).length, 2 * (inherited.length + withNul.length));
  });
});

describe('client-chosen cost', () => {
  // In a child process with a deadline: were the cap missing, a single call
  // at cost 31 would run for days.
  let child;

  before(() => {
    child = runScript(
      `
      const hv = require(support.modulePath);
      const c = ${JSON.stringify(KNOWN)};
      const code = support.cheapCode(support.demoTokens[c.host][c.platform][c.userType]);
      const validate = (x) => hv.validateRequest(x, c.platform, c.userType, c.host);
      const yardstickMs = support.cost10HashMs();
      const at31 = validate(support.withCost(code, 31));
      const n = 1000;
      const prefixes = ['$2a$', '$2b$', '$2x$', '$2y$'];
      const loop = support.repeat(n, (n * yardstickMs) / 100, (i) =>
        validate(support.withPrefix(support.withCost(code, 13 + (i % 19)), prefixes[i % 4])), false);
      report({ control: validate(code), at31, loop, n, yardstickMs });
    `,
      { timeoutMs: 30000 },
    );
  });

  it('refuses a code of cost 31 and returns', () => {
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.report.control, true);
    assert.equal(child.report.at31, false);
  });

  it('refuses every cost from 13 to 31 without hashing', () => {
    assert.equal(child.status, 0, describeExit(child));
    const { loop, n, yardstickMs } = child.report;
    assert.deepEqual(loop.unexpected, []);
    assert.equal(loop.completed, n, `${loop.completed} of ${n} calls within the budget`);
    assert.ok(
      loop.elapsedMs < (n * yardstickMs) / 100,
      `${loop.elapsedMs} ms for ${n} calls, one cost-10 hash ${yardstickMs} ms`,
    );
  });
});

describe('received codes that are cut, bloated or malformed', () => {
  const code = cheapCode(KNOWN_TOKEN);

  it('baseline: the uncut code validates', () => {
    assert.equal(validate(code), true);
  });

  it('refuses a valid code followed by a NUL and more', () => {
    assert.equal(validate(code + '\0x'), false);
    assert.equal(validate(code + '\0'), false);
  });

  it('refuses a 60-character code with a NUL inside', () => {
    assert.equal(validate(code.slice(0, 59) + '\0'), false);
    assert.equal(validate(code.slice(0, 30) + '\0' + code.slice(31)), false);
    assert.equal(validate('\0' + code.slice(1)), false);
  });

  it('refuses codes of 59 and 61 characters', () => {
    assert.equal(validate(code.slice(0, 59)), false);
    assert.equal(validate(code + 'a'), false);
    assert.equal(validate(code + code), false);
  });

  it('refuses a 10 MB code that starts with a valid one', () => {
    assert.equal(validate(code + 'a'.repeat(TEN_MB)), false);
  });

  it('refuses 60 UTF-16 units that are more than 60 bytes', () => {
    assert.equal(validate(code.slice(0, 59) + 'é'), false);
    assert.equal(validate('é'.repeat(60)), false);
  });

  it('refuses a non-canonical 22nd salt character that decodes to the same salt', () => {
    assert.ok(CANONICAL_LAST_SALT.includes(code[28]));
    const accepted = nonCanonicalSiblings(code).filter((ch) => validate(withCharAt(code, 28, ch)) !== false);
    assert.deepEqual(accepted, []);
  });

  it('refuses characters outside the bcrypt alphabet in salt or hash', () => {
    for (const index of [7, 20, 29, 45, 59]) {
      for (const ch of ['+', '!', '$', ' ', 'é', '\x7f']) {
        assert.equal(validate(withCharAt(code, index, ch)), false, `${JSON.stringify(ch)} at ${index}`);
      }
    }
  });
});

describe('names longer than any name in the table', () => {
  it('are refused from their length, never converted whole, and logged as any unknown name', () => {
    const child = runScript(`
      const hv = require(support.modulePath);
      const name = 'n'.repeat(128 * 1024 * 1024);
      name.indexOf('x'); // one flat string from here on
      const before = process.resourceUsage().maxRSS;
      const results = [
        hv.validateRequest('', 'WEB', 'USER', name),
        hv.validateRequest('', name, 'USER', 'example.com'),
        hv.generateAuthCode('WEB', name, 'example.com'),
      ];
      report({ results, grewKiB: process.resourceUsage().maxRSS - before });
    `);
    assert.equal(child.status, 0, describeExit(child));
    assert.deepEqual(child.report.results, [false, false, null]);
    // A conversion of the name alone would take 128 MiB.
    assert.ok(child.report.grewKiB < 32 * 1024, `peak memory grew by ${child.report.grewKiB} KiB`);
    const shown = `${'n'.repeat(256)}...(+${128 * 1024 * 1024 - 256} bytes)`;
    assert.deepEqual(stderrLines(child.stderr), [
      `Host '${shown}' not found in verificationTokenData`,
      `Platform '${shown}' not found in verificationTokenData`,
      `UserType '${shown}' not found under platform 'WEB'`,
    ]);
  });
});

describe('refusals cost no hashing', () => {
  const N = 1000;
  let yardstickMs;
  // Where a code has a cost, it is 12: hashing any of these once per call
  // would take hundreds of times the budget.
  const code = withCost(cheapCode(KNOWN_TOKEN), 12);
  const tenMegabytes = code + 'a'.repeat(TEN_MB);
  const refused = {
    'empty code': '',
    'a bare setting': code.slice(0, 29),
    'a shorter setting': code.slice(0, 28),
    '59 characters': code.slice(0, 59),
    '61 characters': code + 'a',
    '10 MB': tenMegabytes,
    'a NUL at the end': code.slice(0, 59) + '\0',
    'a non-canonical 22nd salt character': withCharAt(code, 28, nonCanonicalSiblings(code)[0]),
    'a hash character outside the alphabet': withCharAt(code, 45, '+'),
    'a salt character outside the alphabet': withCharAt(code, 10, '+'),
    'an unknown bcrypt prefix': withPrefix(code, '$2c$'),
    'another hash method': withPrefix(code, '$6$'),
    'cost 03': withCost(code, 3),
    'cost 00': withCost(code, 0),
    'a cost that is not a number': code.slice(0, 4) + '1x' + code.slice(6),
    '60 non-ASCII characters': 'é'.repeat(60),
  };

  before(() => {
    yardstickMs = cost10HashMs();
  });

  for (const [what, received] of Object.entries(refused)) {
    it(`refuses ${what} x${N}`, () => {
      const budgetMs = (N * yardstickMs) / 100;
      const loop = repeat(N, budgetMs, () => validate(received), false);
      assert.deepEqual(loop.unexpected, []);
      assert.equal(loop.completed, N, `${loop.completed} of ${N} calls within ${budgetMs} ms`);
      assert.ok(loop.elapsedMs < budgetMs, `${loop.elapsedMs} ms for ${N} calls, one cost-10 hash ${yardstickMs} ms`);
    });
  }

  it(`handles unknown combinations x${N} in either function`, () => {
    const child = runScript(
      `
      const hv = require(support.modulePath);
      const cases = [
        ['WEB', 'PROVIDER', 'example.com'],
        ['IOS', 'KIOSK', 'test.example.com'],
        ['web', 'USER', 'example.com'],
        ['WEB', 'USER', 'unknown.example'],
        ['constructor', 'name', '__proto__'],
      ];
      // Well-formed, cost 12: hashing it would cost a full cost-12 hash.
      const code = support.withCost(support.cheapCode(''), 12);
      const yardstickMs = support.cost10HashMs();
      const n = ${N};
      const budgetMs = (n * yardstickMs) / 100;
      const validated = support.repeat(n, budgetMs, (i) => hv.validateRequest(code, ...cases[i % cases.length]), false);
      const generated = support.repeat(n, budgetMs, (i) => hv.generateAuthCode(...cases[i % cases.length]), null);
      report({ validated, generated, n, yardstickMs });
    `,
      { timeoutMs: 60000 },
    );
    assert.equal(child.status, 0, describeExit(child));
    const { validated, generated, n, yardstickMs } = child.report;
    for (const [name, loop] of [
      ['validateRequest', validated],
      ['generateAuthCode', generated],
    ]) {
      assert.deepEqual(loop.unexpected, [], name);
      assert.equal(loop.completed, n, `${name}: ${loop.completed} of ${n} calls within the budget`);
      assert.ok(
        loop.elapsedMs < (n * yardstickMs) / 100,
        `${name}: ${loop.elapsedMs} ms, one cost-10 hash ${yardstickMs} ms`,
      );
    }
    assert.equal(stderrLines(child.stderr).length, validated.completed + generated.completed);
  });
});
