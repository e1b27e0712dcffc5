'use strict';

// The linux-arm64 module under user-mode emulation, run by scripts/ci/arm64.sh
// as `qemu-aarch64-static <Node.js 20 arm64> test/arm64/emulated.test.js`.
// Everything stays in this one process: without binfmt_misc, a child started
// through process.execPath would not run. Emulated bcrypt is slow, so cost-12
// work is one check and one code.
//
// HV_PACKAGE       the package to load (its loader picks prebuilds/linux-arm64)
// HV_TOKENS        its plain tokens (host -> platform -> user type -> token)
// HV_PREVIOUS_TOKENS those its previous table holds, when it has one (else empty)
// HV_X64_CODE      a file holding a cost-12 code the x86-64 module made for COMBINATION
// HV_ARM64_CODE    where to write a cost-12 code this module makes for it
// Tokens and codes stay in files; nothing here prints one.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const bcrypt = require('bcryptjs');
const { tamper, withCost } = require('../support/codes.js');

const COMBINATION = ['IOS', 'USER', 'staging.example.com'];
const packageDir = path.resolve(process.env.HV_PACKAGE);
const tokens = JSON.parse(fs.readFileSync(process.env.HV_TOKENS, 'utf8'));
const token = (platform, userType, host) => tokens[host][platform][userType];
const previousTokens = process.env.HV_PREVIOUS_TOKENS
  ? JSON.parse(fs.readFileSync(process.env.HV_PREVIOUS_TOKENS, 'utf8'))
  : undefined;

const hv = require(packageDir);

describe('linux-arm64 module under emulation', () => {
  it('loads the arm64 prebuild of the package', () => {
    assert.equal(process.arch, 'arm64');
    assert.equal(
      require(path.join(packageDir, 'lib', 'native', 'locate.js')).MODULE_PATH,
      path.join(packageDir, 'prebuilds', 'linux-arm64', 'header_validator.node'),
    );
    // One combination per plain token: the pack stage's table has a platform of the team's own too.
    const plainTokens = Object.values(tokens).flatMap((platforms) => Object.values(platforms).flatMap(Object.keys));
    assert.equal(hv.tableInfo().combinations.length, plainTokens.length);
  });

  it('validates cost-4 codes bcryptjs made, for their own combination only', () => {
    const { combinations } = hv.tableInfo();
    for (const [i, c] of combinations.entries()) {
      if (i % 6 !== 0) continue;
      const code = bcrypt.hashSync(token(c.platform, c.userType, c.host), 4);
      const other = combinations[(i + 1) % combinations.length];
      const label = `${c.host}/${c.platform}/${c.userType}`;
      assert.equal(hv.validateRequest(code, c.platform, c.userType, c.host), true, label);
      assert.equal(hv.validateRequest(code, other.platform, other.userType, other.host), false, label);
      assert.equal(hv.validateRequest(tamper(code), c.platform, c.userType, c.host), false, label);
    }
  });

  it('validates a cost-12 code made on x86-64, and makes one for x86-64 and bcryptjs to check', () => {
    const fromX64 = fs.readFileSync(process.env.HV_X64_CODE, 'utf8').trim();
    assert.equal(hv.validateRequest(fromX64, ...COMBINATION), true);
    const made = hv.generateAuthCode(...COMBINATION);
    assert.match(made, /^\$2a\$12\$[./A-Za-z0-9]{53}$/);
    fs.writeFileSync(process.env.HV_ARM64_CODE, made, { mode: 0o600 });
  });

  it('refuses without hashing: a cost above the cap, a NUL, unknown names', { timeout: 60_000 }, () => {
    const code = bcrypt.hashSync(token(...COMBINATION), 4);
    // Cost 31 would take days if the cap did not hold; the timeout fails the test instead.
    for (const cost of [13, 31]) assert.equal(hv.validateRequest(withCost(code, cost), ...COMBINATION), false);
    assert.equal(hv.validateRequest(`${code.slice(0, 59)}\0`, ...COMBINATION), false);
    assert.equal(hv.validateRequest(code, 'IOS\0', 'USER', 'staging.example.com'), false);
    assert.equal(hv.validateRequest(code, 'IOS', 'USER', 'staging.example.com\0'), false);
    for (const names of [
      ['IOS', 'KIOSK', 'staging.example.com'],
      ['ANDRIOD', 'USER', 'staging.example.com'],
      ['IOS', 'USER', 'prod.example.com'],
      ['IOS', 'USER', '__proto__'],
    ]) {
      assert.equal(hv.validateRequest(code, ...names), false, names.join('/'));
      assert.equal(hv.generateAuthCode(...names), null, names.join('/'));
    }
  });

  describe('validateRequestAsync', () => {
    const validator = hv.createValidator({ threads: 2 });
    after(() => validator.close());

    it('answers through the worker pool', async () => {
      const code = bcrypt.hashSync(token(...COMBINATION), 4);
      assert.deepEqual(
        await Promise.all([
          validator.validateRequestAsync(code, ...COMBINATION),
          validator.validateRequestAsync(tamper(code), ...COMBINATION),
          validator.validateRequestAsync(code, 'IOS', 'PROVIDER', 'staging.example.com'),
          validator.generateAuthCodeAsync('WEB', 'KIOSK', 'staging.example.com'),
        ]),
        [true, false, false, null],
      );
    });

    it(
      'accepts a replaced token on the pool while the synchronous check refuses it',
      {
        skip: previousTokens === undefined && 'no previous table',
      },
      async () => {
        const previousToken = (c) => previousTokens[c.host]?.[c.platform]?.[c.userType];
        const rotated = (c) =>
          typeof previousToken(c) === 'string' && previousToken(c) !== token(c.platform, c.userType, c.host);
        const { platform, userType, host } = hv.tableInfo().combinations.find(rotated);
        const code = bcrypt.hashSync(previousTokens[host][platform][userType], 4);
        assert.equal(await validator.validateRequestAsync(code, platform, userType, host), true);
        assert.equal(hv.validateRequest(code, platform, userType, host), false);
      },
    );
  });
});
