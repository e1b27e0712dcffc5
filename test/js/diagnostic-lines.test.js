'use strict';

// What the module writes to standard error when a lookup fails: one line for
// each failed lookup and none otherwise, ordinary names as they are, control
// bytes, quotes and backslashes escaped so that no name can forge or break a
// line, and long names cut on a character boundary with the count of bytes
// left out. The calls run in a child, whose standard error is a file. How the
// lines reach a reader is tested in diagnostic-delivery.test.js.

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');

const { runScript, stderrLines, describeExit } = require('../support/child.js');

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
});
