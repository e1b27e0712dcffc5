'use strict';
// Loads modules built with other tables (test/tables/) to check what the
// table build refuses at load, which leaves it decodes, and what it logs.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const bcrypt = require('bcryptjs');

const buildDir = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(__dirname, '../../build');
const modulePath = (name) => path.join(buildDir, 'test-modules', name, 'header_validator.node');
const edgeTokens = require('../tables/edge-leaves.tokens.json')['edge.example'];

// Runs script in a fresh process with `m` bound to the named module's path.
function runWith(name, script) {
  const result = spawnSync(
    process.execPath,
    ['-e', `const modulePath = ${JSON.stringify(modulePath(name))};\n${script}`],
    { encoding: 'utf8', env: { ...process.env, NODE_PATH: path.join(__dirname, '../../node_modules') } },
  );
  assert.equal(result.status, 0, result.stderr);
  return result;
}

test('a table of the wrong shape stops the load with a plain Error', () => {
  const cases = {
    'user-type-string': 'Invalid JSON structure: User type data is not an array',
    'number-numeral': 'Invalid JSON structure: ASCII array elements must be strings.',
    'root-array': 'Invalid JSON structure: Root is not an object',
    'not-json': /^\[json\.exception\.parse_error\.101\] parse error/,
  };
  for (const [name, expected] of Object.entries(cases)) {
    const { stdout, stderr } = runWith(
      name,
      `try { require(modulePath); console.log('loaded'); }
       catch (e) { console.log(JSON.stringify({ type: e.constructor.name, message: e.message })); }`,
    );
    const outcome = JSON.parse(stdout);
    assert.equal(outcome.type, 'Error', name);
    if (expected instanceof RegExp) assert.match(outcome.message, expected, name);
    else assert.equal(outcome.message, expected, name);
    assert.equal(stderr, '', `${name}: a refused shape logs nothing`);
  }
});

test('a failed load leaves no functions behind, and a later load still fails the same way', () => {
  const { stdout } = runWith(
    'user-type-string',
    `const results = [];
     for (let i = 0; i < 2; i++) {
       const m = { exports: {} };
       try { process.dlopen(m, modulePath); } catch (e) { results.push(e.message); }
       results.push(Object.keys(m.exports).length);
     }
     console.log(JSON.stringify(results));`,
  );
  assert.deepEqual(JSON.parse(stdout), [
    'Invalid JSON structure: User type data is not an array',
    0,
    'Invalid JSON structure: User type data is not an array',
    0,
  ]);
});

test('leaves decode through every accepted numeral form; bad leaves log and hold no token', () => {
  const codes = {};
  for (const [platform, users] of Object.entries(edgeTokens)) {
    for (const [userType, token] of Object.entries(users)) {
      (codes[platform] ??= {})[userType] = bcrypt.hashSync(token, 4);
    }
  }
  const emptyCode = bcrypt.hashSync('', 4);
  const { stdout, stderr } = runWith(
    'edge-leaves',
    `const m = require(modulePath);
     const codes = ${JSON.stringify(codes)};
     const out = { valid: {}, empty: {}, generated: {} };
     for (const [p, users] of Object.entries(codes))
       for (const [u, code] of Object.entries(users)) {
         out.valid[p + '/' + u] = m.validateRequest(code, p, u, 'edge.example');
       }
     for (const [p, u] of [['ANDROID', 'KIOSK_STORE'], ['ANDROID', 'TRACK_USER'], ['IOS', 'USER']]) {
       out.empty[p + '/' + u] = m.validateRequest(${JSON.stringify(emptyCode)}, p, u, 'edge.example');
       out.generated[p + '/' + u] = m.generateAuthCode(p, u, 'edge.example');
     }
     process.stderr.write('--- lookups\\n');
     m.validateRequest(${JSON.stringify(emptyCode)}, 'WEB', 'USER', 'edge.example');
     m.validateRequest(${JSON.stringify(emptyCode)}, 'WEB', 'USER', 'empty.example');
     console.log(JSON.stringify(out));`,
  );
  const out = JSON.parse(stdout);
  assert.deepEqual(out.valid, {
    'ANDROID/USER': true, // plain numerals
    'ANDROID/STORE': true, // " 65"
    'ANDROID/KIOSK': true, // "+65"
    'ANDROID/PROVIDER': true, // "65abc" and a value above 255
    'IOS/PROVIDER': true, // "256" for byte 0 and "-1" for byte 255
  });
  // Undecodable leaves hold the empty string, which must never act as a token.
  assert.deepEqual(out.empty, { 'ANDROID/KIOSK_STORE': false, 'ANDROID/TRACK_USER': false, 'IOS/USER': false });
  assert.deepEqual(out.generated, { 'ANDROID/KIOSK_STORE': null, 'ANDROID/TRACK_USER': null, 'IOS/USER': null });
  // Load lines come in walk order (keys ascending); lookups follow.
  assert.equal(
    stderr,
    [
      'Error during processing: Base64 decoding failed', // ANDROID/KIOSK_STORE: empty array
      'Error decoding ASCII array: stoi', // ANDROID/TRACK_USER: eleven digits
      'Error during processing: AES decryption finalization failed', // IOS/USER: key byte changed
      '--- lookups',
      "UserType 'USER' not found under platform 'WEB'", // an empty platform object
      "Platform 'WEB' not found in verificationTokenData", // an empty host object
      '',
    ].join('\n'),
  );
});
