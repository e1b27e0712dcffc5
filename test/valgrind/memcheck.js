'use strict';
// Run under valgrind memcheck by scripts/ci/valgrind.sh: loads the module
// (which decodes the whole table), makes one cost-12 code, and checks codes
// made at cost 4 by bcryptjs from the public demo tokens. Exits non-zero when
// any answer is wrong; memcheck judges the memory accesses.

const assert = require('node:assert/strict');
const { modulePath, combinations, label } = require('../support/module.js');
const { cheapCode } = require('../support/codes.js');

const { generateAuthCode, validateRequest } = require(modulePath);

// A spread of combinations: first, last, and some between, across hosts.
const picked = [0, 7, 19, 33, 48, combinations.length - 1].map((i) => combinations[i]);

const made = generateAuthCode('ANDROID', 'STORE', 'example.com');
assert.match(made, /^\$2a\$12\$[./A-Za-z0-9]{53}$/);
assert.equal(validateRequest(made, 'ANDROID', 'STORE', 'example.com'), true);

for (const combination of picked) {
  const { host, platform, userType, token } = combination;
  const code = cheapCode(token);
  assert.equal(validateRequest(code, platform, userType, host), true, label(combination));
  // Every refusal path on the way: another combination, unknown host, broken code.
  assert.equal(validateRequest(code, platform, userType, `x.${host}`), false, label(combination));
  assert.equal(validateRequest(code.slice(0, 59), platform, userType, host), false);
  assert.equal(validateRequest(`${code.slice(0, 59)}\0`, platform, userType, host), false);
}
assert.equal(generateAuthCode('WEB', 'KIOSK', 'example.com'), null);
process.stdout.write(`memcheck script: ${picked.length} combinations checked\n`);
