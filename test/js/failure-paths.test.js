'use strict';

// Failures of the system underneath the module, forced in a child process by
// a preloaded shim (test/support/fail_shim.c): "/dev/urandom" that cannot be
// opened, and a crypt work area that cannot be allocated, always or once.

const { after, before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { runScript, stderrLines, describeExit } = require('../support/child.js');
const { buildShim, noCompiler, sanitizerAllocator } = require('../support/shim.js');

// Runs in the child: calls generateAuthCode for a known combination and
// describes what came out, then validates a cost-4 code of that combination.
const PROBE = `
  const hv = require(support.modulePath);
  const c = { host: 'example.com', platform: 'WEB', userType: 'USER' };
  const code = support.cheapCode(support.demoTokens[c.host][c.platform][c.userType]);
  const thrown = (e) => ({
    threw: Object.getPrototypeOf(e) === Error.prototype ? 'Error' : String(e?.constructor?.name),
    message: e.message,
    hasCode: 'code' in e,
  });
  const generate = () => {
    try {
      const value = hv.generateAuthCode(c.platform, c.userType, c.host);
      return { returned: typeof value };
    } catch (e) {
      return thrown(e);
    }
  };
  const validate = () => {
    try {
      return hv.validateRequest(code, c.platform, c.userType, c.host);
    } catch (e) {
      return thrown(e);
    }
  };
  report({
    generated: process.env.HV_FAIL ? [generate(), generate()] : [],
    valid: validate(),
    unknown: hv.generateAuthCode('WEB', 'PROVIDER', c.host),
  });
`;

// Runs in the child: three concurrent async checks of one code (one hash,
// shared), then the middleware's check of the same code, on one pool thread.
const ASYNC_PROBE = `
  const path = require('node:path');
  const lib = require(path.join(support.ROOT, 'lib'));
  const { authenticate, readAuthOptions } = require(path.join(support.ROOT, 'lib', 'authenticate'));
  const c = { host: 'example.com', platform: 'WEB', userType: 'USER' };
  const code = support.cheapCode(support.demoTokens[c.host][c.platform][c.userType]);
  const settled = (promise) =>
    promise.then(
      (value) => ({ value }),
      (e) => ({ code: e.code, packageError: e instanceof lib.HeaderValidatorError }),
    );
  (async () => {
    const v = lib.createValidator({ threads: 1 });
    const burst = await Promise.all(
      [1, 2, 3].map(() => settled(v.validateRequestAsync(code, c.platform, c.userType, c.host))),
    );
    const headers = { 'x-auth-code': code, 'x-platform': c.platform, 'x-user-type': c.userType };
    const answer = await authenticate({}, { headers }, readAuthOptions({ host: c.host, validator: v }, 'probe'));
    const { bcryptChecks, coalesced, cachedValid, cachedInvalid } = v.stats();
    await v.close();
    report({
      burst,
      middleware: answer.auth ? 'pass' : { status: answer.status, cause: answer.cause?.code },
      stats: { bcryptChecks, coalesced, cachedValid, cachedInvalid },
    });
  })();
`;

describe('system failures under the module', { skip: noCompiler }, () => {
  let shim;
  const children = new Map();
  // One child per mode, shared by the tests that look at it.
  const run = (mode) => {
    if (!children.has(mode)) {
      const env = { LD_PRELOAD: shim.preload };
      if (mode) env.HV_FAIL = mode;
      children.set(mode, runScript(PROBE, { env }));
    }
    return children.get(mode);
  };

  before(() => {
    shim = buildShim();
  });

  after(() => shim?.remove());

  it('leave the module working while the shim is loaded but idle', () => {
    const child = run(undefined);
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.report.valid, true);
    assert.equal(child.report.unknown, null);
  });

  it('without /dev/urandom, generateAuthCode throws "Failed to generate bcrypt salt"', () => {
    const child = run('urandom');
    assert.equal(child.status, 0, describeExit(child));
    const expected = { threw: 'Error', message: 'Failed to generate bcrypt salt', hasCode: false };
    assert.deepEqual(child.report.generated, [expected, expected]);
  });

  it('without /dev/urandom, validateRequest still validates', () => {
    const child = run('urandom');
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.report.valid, true);
  });

  it('without a crypt work area, generateAuthCode throws "Failed to hash token"', { skip: sanitizerAllocator }, () => {
    const child = run('crypt_data');
    assert.equal(child.status, 0, describeExit(child));
    const expected = { threw: 'Error', message: 'Failed to hash token', hasCode: false };
    assert.deepEqual(child.report.generated, [expected, expected]);
  });

  it(
    'without a crypt work area, validateRequest throws "Failed to check auth code", never false',
    {
      skip: sanitizerAllocator,
    },
    () => {
      const child = run('crypt_data');
      assert.equal(child.status, 0, describeExit(child));
      assert.deepEqual(child.report.valid, { threw: 'Error', message: 'Failed to check auth code', hasCode: false });
    },
  );

  it(
    'a failed hash is an error for every caller sharing it, never cached: retried, it passes',
    {
      skip: sanitizerAllocator,
    },
    () => {
      const hashFailed = { code: 'ERR_HEADER_VALIDATOR_HASH_FAILED', packageError: true };
      const passing = runScript(ASYNC_PROBE, { env: { LD_PRELOAD: shim.preload, HV_FAIL: 'crypt_data_once' } });
      assert.equal(passing.status, 0, describeExit(passing));
      assert.deepEqual(passing.report, {
        burst: [hashFailed, hashFailed, hashFailed],
        middleware: 'pass',
        stats: { bcryptChecks: 2, coalesced: 2, cachedValid: 1, cachedInvalid: 0 },
      });
      // While the fault lasts, the middleware answers 503, for the client to retry.
      const lasting = runScript(ASYNC_PROBE, { env: { LD_PRELOAD: shim.preload, HV_FAIL: 'crypt_data' } });
      assert.equal(lasting.status, 0, describeExit(lasting));
      assert.deepEqual(lasting.report.middleware, { status: 503, cause: hashFailed.code });
      assert.equal(lasting.report.stats.cachedInvalid, 0);
    },
  );

  it('an unknown combination still gets null, not an exception, and its one log line', () => {
    for (const mode of ['urandom', 'crypt_data']) {
      const child = run(mode);
      assert.equal(child.status, 0, describeExit(child));
      assert.equal(child.report.unknown, null, mode);
      assert.deepEqual(stderrLines(child.stderr), ["UserType 'PROVIDER' not found under platform 'WEB'"], mode);
    }
  });
});
