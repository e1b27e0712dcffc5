'use strict';

// Auth codes across the module and bcryptjs, an independent bcrypt
// implementation: codes bcryptjs makes from the demo tokens validate in the
// module, and codes the module makes verify in bcryptjs. Tokens are never
// handed to an assertion that would print them.

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const bcrypt = require('bcryptjs');

const { modulePath, demoTokens, combinations, label } = require('../support/module.js');
const { cheapCode, withCost, withPrefix, withCharAt, otherChar } = require('../support/codes.js');
const { runScript, describeExit } = require('../support/child.js');

const hv = require(modulePath);

const validate = (code, c) => hv.validateRequest(code, c.platform, c.userType, c.host);

// Another combination whose token differs from c's.
function otherCombination(index) {
  for (let step = 1; step < combinations.length; step++) {
    const other = combinations[(index + step) % combinations.length];
    if (other.token !== combinations[index].token) return other;
  }
  throw new Error('every demo token is the same');
}

describe('demo table', () => {
  it('has 60 combinations: 6 hosts of 10', () => {
    assert.equal(combinations.length, 60);
    assert.equal(Object.keys(demoTokens).length, 6);
    for (const platforms of Object.values(demoTokens)) {
      assert.equal(
        Object.values(platforms).reduce((n, userTypes) => n + Object.keys(userTypes).length, 0),
        10,
      );
    }
  });
});

describe('codes made by bcryptjs', () => {
  const codes = combinations.map((c) => cheapCode(c.token));

  it('validate for their own combination, for all 60', () => {
    const refused = combinations.filter((c, i) => validate(codes[i], c) !== true).map(label);
    assert.deepEqual(refused, []);
  });

  it('are refused for a combination with a different token, for all 60', () => {
    const accepted = combinations
      .filter((c, i) => validate(codes[i], otherCombination(i)) !== false)
      .map((c, i) => `${label(c)} accepted for ${label(otherCombination(i))}`);
    assert.deepEqual(accepted, []);
  });

  it('are refused when only the host, platform or user type differs', () => {
    const c = { host: 'beta.example.com', platform: 'ANDROID', userType: 'KIOSK' };
    const code = cheapCode(demoTokens[c.host][c.platform][c.userType]);
    assert.equal(validate(code, c), true);
    assert.equal(validate(code, { ...c, host: 'test.example.com' }), false);
    assert.equal(validate(code, { ...c, platform: 'IOS', userType: 'STORE' }), false);
    assert.equal(validate(code, { ...c, userType: 'KIOSK_STORE' }), false);
  });

  it('validate under every accepted bcrypt prefix', () => {
    // The demo tokens are ASCII, for which $2a$, $2b$, $2x$ and $2y$ hash alike.
    const code = codes[0];
    for (const prefix of ['$2a$', '$2b$', '$2x$', '$2y$']) {
      assert.equal(validate(withPrefix(code, prefix), combinations[0]), true, prefix);
    }
  });

  it('are refused under any other prefix', () => {
    const code = codes[0];
    for (const prefix of ['$2c$', '$2z$', '$3a$', '$1a$', '$5a$', '$6a$', '$2A$', '$2B$', '_2b$', '$2b_']) {
      assert.equal(validate(withPrefix(code, prefix), combinations[0]), false, prefix);
    }
  });
});

describe('tampered codes', () => {
  const c = combinations[3];
  const code = cheapCode(c.token);

  it('are refused with the last character changed', () => {
    assert.equal(validate(code, c), true);
    assert.equal(validate(withCharAt(code, 59, otherChar(code, 59)), c), false);
  });

  it('are refused with any one hash character changed', () => {
    const accepted = [];
    for (let i = 29; i < 60; i++) {
      if (validate(withCharAt(code, i, otherChar(code, i)), c) !== false) accepted.push(i);
    }
    assert.deepEqual(accepted, []);
  });

  it('are refused with any one of the first 21 salt characters changed', () => {
    const accepted = [];
    for (let i = 7; i < 28; i++) {
      if (validate(withCharAt(code, i, otherChar(code, i)), c) !== false) accepted.push(i);
    }
    assert.deepEqual(accepted, []);
  });

  it('are refused under another cost', () => {
    assert.equal(validate(withCost(code, 5), c), false);
  });

  it('are refused when empty', () => {
    assert.equal(validate('', c), false);
  });

  it('are refused when the token itself is sent as the code', () => {
    assert.equal(validate(c.token, c), false);
  });
});

describe('codes made by generateAuthCode', () => {
  const c = { host: 'example.com', platform: 'WEB', userType: 'USER' };
  const token = demoTokens[c.host][c.platform][c.userType];
  let first;
  let second;

  // Cost 12 is slow by design: two codes serve every check here.
  before(() => {
    first = hv.generateAuthCode(c.platform, c.userType, c.host);
    second = hv.generateAuthCode(c.platform, c.userType, c.host);
  });

  it('are 60-character $2a$ codes at cost 12', () => {
    assert.match(first, /^\$2a\$12\$[./A-Za-z0-9]{53}$/);
    assert.match(second, /^\$2a\$12\$[./A-Za-z0-9]{53}$/);
  });

  it('get a new salt on every call', () => {
    assert.notEqual(first.slice(7, 29), second.slice(7, 29));
    assert.notEqual(first, second);
  });

  it('validate for their combination', () => {
    assert.equal(validate(first, c), true);
    assert.equal(validate(second, c), true);
  });

  it('are refused for a combination with a different token', () => {
    assert.equal(validate(first, { ...c, host: 'www.example.com' }), false);
  });

  it('verify in bcryptjs against the demo token', () => {
    assert.equal(bcrypt.compareSync(token, first), true);
  });
});

describe('combinations outside the table', () => {
  // Failed lookups write to standard error, so they run in a child process.
  const unknown = [
    ['WEB', 'PROVIDER', 'example.com'],
    ['IOS', 'KIOSK', 'staging.example.com'],
    ['web', 'USER', 'example.com'],
    ['WEB', 'user', 'example.com'],
    ['WEB', 'USER', 'Example.com'],
    ['WEB', 'USER', 'example.org'],
    ['WEB', 'USER', ''],
    ['', '', ''],
  ];
  let child;

  before(() => {
    child = runScript(`
      const hv = require(support.modulePath);
      const unknown = ${JSON.stringify(unknown)};
      // A valid code of a real token, sent with a combination that has none.
      const code = support.cheapCode(support.demoTokens['example.com'].WEB.USER);
      report(unknown.map(([platform, userType, host]) => ({
        generated: hv.generateAuthCode(platform, userType, host),
        valid: hv.validateRequest(code, platform, userType, host),
      })));
    `);
  });

  it('get no code from generateAuthCode', () => {
    assert.equal(child.status, 0, describeExit(child));
    assert.deepEqual(
      child.report.map((r) => r.generated),
      unknown.map(() => null),
    );
  });

  it('validate nothing', () => {
    assert.equal(child.status, 0, describeExit(child));
    assert.deepEqual(
      child.report.map((r) => r.valid),
      unknown.map(() => false),
    );
  });
});
