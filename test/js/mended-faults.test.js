'use strict';

// Faults the module guards against: codes for combinations without a token,
// names that reach the prototype chain, client-chosen cost, NULs and lengths
// that would cut or bloat a code, and names that would forge or flood the log.
//
// "Without hashing" is shown by orders of magnitude: a loop of N refusals must
// finish within N / 100 of one bcryptjs cost-10 hash measured on the spot,
// while every code sent would cost a cost-12 (or higher) hash if the module
// hashed it. Loops give up at that budget, so a regression fails promptly.
// Calls whose lookup fails write to standard error and so run in a child.

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

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

describe('diagnostic lines', () => {
  const megabyteHost = 'a'.repeat(1024 * 1024);
  // [function, platform, userType, host, expected line or null for none]
  const calls = [
    ['validate', 'WEB', 'USER', 'nope.example', "Host 'nope.example' not found in verificationTokenData"],
    ['validate', 'DESKTOP', 'USER', 'example.com', "Platform 'DESKTOP' not found in verificationTokenData"],
    ['validate', 'WEB', 'PROVIDER', 'example.com', "UserType 'PROVIDER' not found under platform 'WEB'"],
    ['generate', 'IOS', 'KIOSK', 'www.example.com', "UserType 'KIOSK' not found under platform 'IOS'"],
    ['generate', 'ANDROID', 'USER', 'prod.example', "Host 'prod.example' not found in verificationTokenData"],
    ['validate', 'WEB', 'USER', 'example.com', null],
    [
      'validate',
      'WEB',
      'USER',
      "evil\nHost 'x' not found",
      "Host 'evil\\x0AHost \\x27x\\x27 not found' not found in verificationTokenData",
    ],
    [
      'validate',
      'WEB',
      'USER',
      megabyteHost,
      `Host '${'a'.repeat(256)}...(+${1024 * 1024 - 256} bytes)' not found in verificationTokenData`,
    ],
    ['validate', 'WEB\0', 'USER', 'example.com', "Platform 'WEB\\x00' not found in verificationTokenData"],
    ['validate', 'WEB', 'a\r\nb', 'example.com', "UserType 'a\\x0D\\x0Ab' not found under platform 'WEB'"],
    ['validate', 'W\tEB', 'USER', 'example.com', "Platform 'W\\x09EB' not found in verificationTokenData"],
    ['validate', 'WEB', 'USER', 'back\\slash', "Host 'back\\\\slash' not found in verificationTokenData"],
    [
      'validate',
      'WEB',
      'USER',
      '\x01\x1b[31m\x1f\x7f',
      "Host '\\x01\\x1B[31m\\x1F\\x7F' not found in verificationTokenData",
    ],
    ['validate', 'WEB', 'USER', 'exämple.com', "Host 'exämple.com' not found in verificationTokenData"],
    ['validate', 'WEB', 'USER', 'b'.repeat(256), `Host '${'b'.repeat(256)}' not found in verificationTokenData`],
    [
      'validate',
      'WEB',
      'USER',
      'b'.repeat(257),
      `Host '${'b'.repeat(256)}...(+1 bytes)' not found in verificationTokenData`,
    ],
    // Cut on a character boundary: a 3-byte and a 4-byte character across byte 256, a 2-byte one ending on it.
    [
      'validate',
      'WEB',
      'USER',
      'c'.repeat(255) + '€d',
      `Host '${'c'.repeat(255)}...(+4 bytes)' not found in verificationTokenData`,
    ],
    [
      'validate',
      'WEB',
      'USER',
      'e'.repeat(254) + '😀',
      `Host '${'e'.repeat(254)}...(+4 bytes)' not found in verificationTokenData`,
    ],
    [
      'validate',
      'WEB',
      'USER',
      'f'.repeat(254) + 'éxy',
      `Host '${'f'.repeat(254)}é...(+2 bytes)' not found in verificationTokenData`,
    ],
    [
      'validate',
      'ANDROID',
      'g'.repeat(300),
      'example.com',
      `UserType '${'g'.repeat(256)}...(+44 bytes)' not found under platform 'ANDROID'`,
    ],
  ];
  let child;

  before(() => {
    child = runScript(`
      const hv = require(support.modulePath);
      const code = support.cheapCode(support.demoTokens['example.com'].WEB.USER);
      const calls = ${JSON.stringify(calls.map(([fn, p, u, host]) => [fn, p, u, host.length > 10000 ? null : host]))};
      const results = calls.map(([fn, platform, userType, host]) => {
        host ??= 'a'.repeat(1024 * 1024);
        return fn === 'validate'
          ? hv.validateRequest(code, platform, userType, host)
          : hv.generateAuthCode(platform, userType, host);
      });
      // An argument error stops before the lookup and logs nothing.
      try {
        hv.validateRequest(code, 'WEB', 'USER');
      } catch {}
      report(results);
    `);
    assert.equal(child.status, 0, describeExit(child));
  });

  it('are written only for failed lookups', () => {
    const expected = calls.map(([fn, , , , line]) => (line !== null ? (fn === 'validate' ? false : null) : true));
    assert.deepEqual(child.report, expected);
  });

  it('print ordinary names as they are, escape control bytes and backslashes, and cut long names', () => {
    const expected = calls.map(([, , , , line]) => line).filter((line) => line !== null);
    assert.deepEqual(stderrLines(child.stderr), expected);
  });

  it('never interleave when several threads write at once', () => {
    const threads = 4;
    const perThread = 300;
    const run = runScript(
      `
      const { Worker } = require('node:worker_threads');
      // Escaped tabs make each line about a kilobyte long.
      const host = (id, i) => 't' + id + ':' + i + ':' + '\\t'.repeat(240);
      const start = new Int32Array(new SharedArrayBuffer(4));
      const workers = [];
      for (let id = 1; id <= ${threads}; id++) {
        workers.push(new Worker(\`
          const { parentPort, workerData } = require('node:worker_threads');
          const hv = require(workerData.modulePath);
          const host = \${host};
          parentPort.postMessage('ready');
          Atomics.wait(workerData.start, 0, 0);
          for (let i = 0; i < ${perThread}; i++) hv.validateRequest('', 'WEB', 'USER', host(workerData.id, i));
        \`, { eval: true, workerData: { id, start, modulePath: support.modulePath } }));
      }
      const hv = require(support.modulePath);
      const ready = workers.map((w) => new Promise((resolve) => w.once('message', resolve)));
      const exited = workers.map((w) => new Promise((resolve) => w.once('exit', resolve)));
      Promise.all(ready).then(() => {
        Atomics.store(start, 0, 1);
        Atomics.notify(start, 0);
        for (let i = 0; i < ${perThread}; i++) hv.validateRequest('', 'WEB', 'USER', host(0, i));
        return Promise.all(exited);
      }).then(report);
    `,
      { timeoutMs: 60000 },
    );
    assert.equal(run.status, 0, describeExit(run));
    assert.deepEqual(run.report, Array(threads).fill(0));
    const expected = [];
    for (let id = 0; id <= threads; id++) {
      for (let i = 0; i < perThread; i++) {
        expected.push(`Host 't${id}:${i}:${'\\x09'.repeat(240)}' not found in verificationTokenData`);
      }
    }
    const lines = stderrLines(run.stderr);
    assert.equal(lines.length, expected.length);
    const misshapen = lines.filter((line) => !expected.includes(line));
    assert.equal(misshapen.length, 0, `${misshapen.length} lines are not whole, e.g. ${JSON.stringify(misshapen[0])}`);
    assert.deepEqual(lines.sort(), expected.sort());
  });

  it('cost no wait per call while the reader stalls, and report how many were dropped', () => {
    // A shell pipeline whose reader starts only after the refusals: fd 2 stays
    // blocking unless the script touches process.stderr, which Node.js then
    // makes non-blocking. Either way the 3000 refusals must not wait on the
    // reader, and once it drains the pipe the next line brings the count.
    const n = 3000;
    const line = (i) => `Host 'p${i}:${'\\x09'.repeat(100)}' not found in verificationTokenData`;
    for (const touch of ['', 'process.stderr;']) {
      const script = `
        const hv = require(${JSON.stringify(modulePath)});
        ${touch}
        const start = performance.now();
        for (let i = 0; i < ${n}; i++) hv.validateRequest('', 'WEB', 'USER', 'p' + i + ':' + '\\t'.repeat(100));
        require('node:fs').writeFileSync(process.argv[1], String(performance.now() - start));
        setTimeout(() => hv.validateRequest('', 'WEB', 'USER', 'last'), 2500);
      `;
      const msFile = path.join(os.tmpdir(), `hv-stall-${process.pid}-${touch.length}`);
      const run = spawnSync(
        'sh',
        // The reader starts once the refusals are done, however slow the machine.
        [
          '-c',
          'timeout -s KILL 20 "$0" -e "$1" "$2" 2>&1 >/dev/null | ' +
            '(i=0; while [ ! -s "$2" ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; cat)',
          process.execPath,
          script,
          msFile,
        ],
        {
          encoding: 'utf8',
          timeout: 30000,
          killSignal: 'SIGKILL',
          maxBuffer: 16 * 1024 * 1024,
        },
      );
      const ms = fs.existsSync(msFile) ? Number(fs.readFileSync(msFile, 'utf8')) : Infinity;
      fs.rmSync(msFile, { force: true });
      assert.equal(run.status, 0, `${touch || 'blocking'}: ${run.error ?? run.stderr}`);
      // Far below one millisecond of waiting per call.
      assert.ok(ms < n / 4, `${touch || 'blocking'}: ${n} refusals took ${ms} ms`);
      const lines = stderrLines(run.stdout);
      const reports = lines.filter((l) => / diagnostic line\(s\) dropped /.test(l));
      assert.equal(reports.length, 1, lines.slice(-3).join('\n'));
      const dropped = Number(/^header-validator: (\d+) /.exec(reports[0])[1]);
      const kept = lines.filter((l) => l !== reports[0]);
      assert.ok(dropped > 0);
      assert.equal(kept.length + dropped, n + 1);
      assert.equal(kept.at(-1), "Host 'last' not found in verificationTokenData");
      assert.deepEqual(
        kept.slice(0, -1),
        Array.from({ length: kept.length - 1 }, (_, i) => line(i)),
      );
    }
  });
});
