'use strict';

// Failures of the system underneath the module, forced in a child process by
// a preloaded shim (test/support/fail_shim.c): "/dev/urandom" that cannot be
// opened, and a crypt work area that cannot be allocated.

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
  const generate = () => {
    try {
      const value = hv.generateAuthCode(c.platform, c.userType, c.host);
      return { returned: typeof value };
    } catch (e) {
      return {
        threw: Object.getPrototypeOf(e) === Error.prototype ? 'Error' : String(e?.constructor?.name),
        message: e.message,
        hasCode: 'code' in e,
      };
    }
  };
  const validate = () => {
    try {
      return hv.validateRequest(code, c.platform, c.userType, c.host);
    } catch (e) {
      return 'threw ' + e;
    }
  };
  report({
    generated: process.env.HV_FAIL ? [generate(), generate()] : [],
    valid: validate(),
    unknown: hv.generateAuthCode('WEB', 'PROVIDER', c.host),
  });
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

  it('without a crypt work area, validateRequest returns false without throwing', { skip: sanitizerAllocator }, () => {
    const child = run('crypt_data');
    assert.equal(child.status, 0, describeExit(child));
    assert.equal(child.report.valid, false);
  });

  it('an unknown combination still gets null, not an exception, and its one log line', () => {
    for (const mode of ['urandom', 'crypt_data']) {
      const child = run(mode);
      assert.equal(child.status, 0, describeExit(child));
      assert.equal(child.report.unknown, null, mode);
      assert.deepEqual(stderrLines(child.stderr), ["UserType 'PROVIDER' not found under platform 'WEB'"], mode);
    }
  });
});
