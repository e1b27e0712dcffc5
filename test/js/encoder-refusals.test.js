'use strict';

// What encodeTable refuses in a plain table, each refusal naming the
// combination or host and quoting no stretch of the token: lengths counted in
// UTF-8 bytes, NULs, unpaired surrogates, values that are not strings, names
// outside the platform and user-type vocabulary, duplicates however spelt,
// host names that are not plain DNS names, invalid JSON or UTF-8, public demo
// tokens, one token for several combinations, different tokens that are one
// bcrypt key, and options that are not what they seem. What the encoder
// accepts is tested in encoder.test.js.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.join(__dirname, '..', '..');
const { encodeTable } = require('../../lib/encode');
const { decodeLeaf } = require('../support/table-decoder.js');
const { randomAsciiToken, sameToken, refusalOf, assertNoTokenIn } = require('../support/plain-tables.js');

describe('encodeTable', () => {
  describe('refuses, naming the combination and quoting no token', () => {
    const leaf = (token, where = ['example.com', 'IOS', 'STORE']) =>
      `{"${where[0]}": {\n  "${where[1]}": {\n    "${where[2]}": ${token}\n  }\n}}`;
    const secret = () => randomAsciiToken(30).replace(/["\\]/g, 'x');

    const cases = [
      ['a token of 21 bytes', (t) => leaf(JSON.stringify(t.slice(0, 21))), 'example.com/IOS/STORE', /21 bytes.*22/],
      ['a token of 21 bytes in seven 3-byte characters', () => leaf('"€€€€€€€"'), 'example.com/IOS/STORE', /21 bytes/],
      [
        'a token of 73 bytes',
        (t) => leaf(JSON.stringify(t + t + t.slice(0, 13))),
        'example.com/IOS/STORE',
        /73 bytes.*72/,
      ],
      [
        'a token of 73 bytes in 37 characters',
        () => leaf(JSON.stringify('é'.repeat(36) + 'a')),
        'example.com/IOS/STORE',
        /73 bytes/,
      ],
      ['a NUL byte in a token', (t) => leaf(JSON.stringify(`${t}\u0000`)), 'example.com/IOS/STORE', /NUL/],
      ['an unpaired surrogate in a token', (t) => leaf(`"${t}\\ud800"`), 'example.com/IOS/STORE', /Unicode/],
      [
        'a number as token',
        () => leaf('123456789012345678901234'),
        'example.com/IOS/STORE',
        /must be a string, found a number/,
      ],
      ['null as token', () => leaf('null'), 'example.com/IOS/STORE', /found null/],
      ['an already encoded leaf', () => leaf('["1","2"]'), 'example.com/IOS/STORE', /found an array.*already encoded/],
      [
        'an object as token',
        (t) => leaf(`{"token": ${JSON.stringify(t)}}`),
        'example.com/IOS/STORE',
        /found an object/,
      ],
      [
        'a misspelt platform',
        (t) => leaf(JSON.stringify(t), ['example.com', 'ANDRIOD', 'USER']),
        'example.com/ANDRIOD',
        /did you mean ANDROID\?.*WEB, ANDROID, IOS/,
      ],
      [
        'a platform in the wrong case',
        (t) => leaf(JSON.stringify(t), ['example.com', 'ios', 'USER']),
        'example.com/ios',
        /did you mean IOS\?/,
      ],
      [
        'an unknown user type',
        (t) => leaf(JSON.stringify(t), ['example.com', 'IOS', 'KIOSK_STROE']),
        'example.com/IOS/KIOSK_STROE',
        /USER, PROVIDER, STORE/,
      ],
      [
        'a user type in the wrong case',
        (t) => leaf(JSON.stringify(t), ['example.com', 'WEB', 'user']),
        'example.com/WEB/user',
        /did you mean USER\?/,
      ],
      [
        'PROVIDER under WEB',
        (t) => leaf(JSON.stringify(t), ['example.com', 'WEB', 'PROVIDER']),
        'example.com/WEB/PROVIDER',
        /does not exist under platform WEB/,
      ],
      [
        'KIOSK under IOS',
        (t) => leaf(JSON.stringify(t), ['example.com', 'IOS', 'KIOSK']),
        'example.com/IOS/KIOSK',
        /does not exist under platform IOS/,
      ],
      [
        'an empty user-type name',
        (t) => leaf(JSON.stringify(t), ['example.com', 'IOS', '']),
        'example.com/IOS',
        /empty user type name/,
      ],
      [
        'an empty platform name',
        (t) => leaf(JSON.stringify(t), ['example.com', '', 'USER']),
        'example.com',
        /empty platform name/,
      ],
      ['an empty host name', (t) => leaf(JSON.stringify(t), ['', 'IOS', 'USER']), '', /empty host name/],
      [
        'a duplicate user type',
        (t) => `{"example.com": {"IOS": {"USER": ${JSON.stringify(t)},\n"USER": "${'y'.repeat(30)}"}}}`,
        'example.com/IOS/USER',
        /duplicate user type.*lines 1 and 2/,
      ],
      [
        'a duplicate user type spelt with an escape',
        (t) => `{"example.com": {"IOS": {"USER": ${JSON.stringify(t)}, "US\\u0045R": ${JSON.stringify(t)}}}}`,
        'example.com/IOS/USER',
        /duplicate user type/,
      ],
      [
        'a duplicate platform',
        (t) => `{"example.com": {"WEB": {"USER": ${JSON.stringify(t)}}, "WEB": {}}}`,
        'example.com/WEB',
        /duplicate platform/,
      ],
      [
        'a duplicate host',
        (t) => `{"example.com": {"WEB": {"USER": ${JSON.stringify(t)}}},\n"example.com": {}}`,
        'example.com',
        /duplicate host.*lines 1 and 2/,
      ],
      [
        'a host that is not an object',
        (t) => `{"example.com": ${JSON.stringify(t)}}`,
        'example.com',
        /platforms must be a JSON object, found a string/,
      ],
      [
        'a platform that is not an object',
        (t) => `{"example.com": {"WEB": [${JSON.stringify(t)}]}}`,
        'example.com/WEB',
        /user types must be a JSON object, found an array/,
      ],
      ['invalid JSON inside a token', (t) => leaf(`"${t}\\q"`), 'example.com/IOS/STORE', /not valid JSON.*line 3/],
      [
        'a raw control character inside a token',
        (t) => leaf(`"${t}\u0001${t}"`),
        'example.com/IOS/STORE',
        /not valid JSON/,
      ],
      [
        'invalid UTF-8 inside a token',
        (t) =>
          Buffer.concat([
            Buffer.from(leaf(`"${t}`).replace(/\n {2}\}\n\}\}$/, '')),
            Buffer.from([0xc3, 0x28]),
            Buffer.from(`${t}"\n  }\n}}`),
          ]),
        'example.com/IOS/STORE',
        /not valid UTF-8.*line 3/,
      ],
      [
        'a truncated UTF-8 sequence inside a token',
        (t) =>
          Buffer.concat([
            Buffer.from(`{"example.com": {"WEB": {"USER": "${t}`),
            Buffer.from([0xe2, 0x82]),
            Buffer.from('"}}}'),
          ]),
        'example.com/WEB/USER',
        /not valid UTF-8/,
      ],
    ];

    for (const [name, make, where, pattern] of cases) {
      it(name, () => {
        const token = secret();
        const message = refusalOf(() => encodeTable(make(token)));
        assertNoTokenIn(message, token);
        assert.ok(message.includes(where), `message does not name "${where}": ${message}`);
        assert.match(message, pattern);
      });
    }

    const hostCases = [
      ['__proto__', /reserved/],
      ['constructor', /reserved/],
      ['hasOwnProperty', /reserved/],
      ['exa mple.com', /not a plain DNS name/],
      ['https://example.com', /not a plain DNS name/],
      ['example.com/', /not a plain DNS name/],
      ['-example.com', /not a plain DNS name/],
      ['example..com', /not a plain DNS name/],
      ['example.com.', /not a plain DNS name/],
      ['example.com:0', /not a plain DNS name/],
      ['example.com:65536', /not a plain DNS name/],
      ['example.com:', /not a plain DNS name/],
      ['example_test.com', /not a plain DNS name/],
      ['12345', /not a plain DNS name/],
      [`${'a'.repeat(64)}.com`, /not a plain DNS name/],
    ];
    for (const [host, pattern] of hostCases) {
      it(`the host name ${JSON.stringify(host.length > 20 ? `${host.slice(0, 20)}...` : host)}`, () => {
        const token = secret();
        const message = refusalOf(() => encodeTable(JSON.stringify({ [host]: { WEB: { USER: token } } })));
        assertNoTokenIn(message, token);
        assert.ok(message.includes(`"${host.slice(0, 64)}`), `message does not quote the host: ${message}`);
        assert.match(message, pattern);
      });
    }

    it('public demo tokens, at their own combination or another, unless allowed', () => {
      const demo = JSON.parse(fs.readFileSync(path.join(ROOT, 'tokens', 'demo-tokens.json'), 'utf8'));
      const own = demo['example.com'].IOS.STORE;
      const moved = demo['staging.example.com'].WEB.USER;
      const plain = {
        'example.com': { IOS: { USER: randomAsciiToken(30), STORE: own } },
        'api.example.org': { ANDROID: { KIOSK: moved } },
      };
      const message = refusalOf(() => encodeTable(JSON.stringify(plain)));
      assertNoTokenIn(message, own);
      assertNoTokenIn(message, moved);
      assert.match(
        message,
        /^example\.com\/IOS\/STORE: public demo token.*\napi\.example\.org\/ANDROID\/KIOSK: public demo/,
      );
      assert.match(message, /--allow-demo-tokens/);
      const encoded = encodeTable(JSON.stringify(plain), { allowDemoTokens: true });
      assert.ok(sameToken(decodeLeaf(encoded['api.example.org'].ANDROID.KIOSK).token, moved), 'token lost');
    });

    it('one token at two combinations, unless allowed', () => {
      const token = secret();
      const plain = {
        'example.com': { WEB: { USER: token }, IOS: { USER: secret() } },
        'staging.example.com': { WEB: { USER: token } },
      };
      const message = refusalOf(() => encodeTable(JSON.stringify(plain)));
      assertNoTokenIn(message, token);
      assert.match(message, /^example\.com\/WEB\/USER and staging\.example\.com\/WEB\/USER have the same token/);
      assert.match(message, /--allow-shared-tokens/);
      const encoded = encodeTable(JSON.stringify(plain), { allowSharedTokens: true });
      assert.ok(sameToken(decodeLeaf(encoded['staging.example.com'].WEB.USER).token, token), 'token lost');
    });

    it('different tokens that are one bcrypt key, and only those, unless allowed', () => {
      // Pairs whose verdicts test/cpp/key_schedule_words_test.cc checks against libxcrypt's hashes.
      const file = path.join(ROOT, 'test', 'data', 'bcrypt-one-key-pairs.json');
      const { pairs } = JSON.parse(fs.readFileSync(file, 'utf8'));
      assert.ok(pairs.some((pair) => pair.oneKeyUnder) && pairs.some((pair) => !pair.oneKeyUnder));
      for (const { what, a, b, oneKeyUnder } of pairs) {
        const plain = JSON.stringify({
          'example.com': { WEB: { USER: a } },
          'staging.example.com': { WEB: { USER: b } },
        });
        if (!oneKeyUnder) {
          assert.doesNotThrow(() => encodeTable(plain), what);
          continue;
        }
        const message = refusalOf(() => encodeTable(plain));
        assertNoTokenIn(message, a);
        assertNoTokenIn(message, b);
        const prefixes = [...oneKeyUnder].map((v) => `$2${v}$`).join(' and ');
        assert.ok(
          message.startsWith(
            'example.com/WEB/USER and staging.example.com/WEB/USER have different tokens that are one bcrypt key ' +
              `under ${prefixes}, so a ${prefixes} code for one is valid for the other\n`,
          ),
          what,
        );
        assert.match(message, /--allow-shared-tokens/);
        const encoded = encodeTable(plain, { allowSharedTokens: true });
        assert.ok(sameToken(decodeLeaf(encoded['staging.example.com'].WEB.USER).token, b), 'token lost');
      }
    });

    it('options that would quietly let demo or shared tokens through are an error, not a switch', () => {
      const plain = JSON.stringify({ 'example.com': { WEB: { USER: randomAsciiToken(30) } } });
      assert.throws(() => encodeTable(plain, { allowDemoTokens: 'false' }), {
        name: 'TypeError',
        message: 'encodeTable: allowDemoTokens must be true or false',
      });
      assert.throws(() => encodeTable(plain, { allowSharedTokens: 1 }), TypeError);
      assert.throws(() => encodeTable(plain, { allowDemoToken: true }), /unknown option "allowDemoToken"/);
      assert.throws(() => encodeTable(plain, null), TypeError);
    });

    it('a root that is not an object, and tables without tokens', () => {
      assert.match(
        refusalOf(() => encodeTable('[]')),
        /must be a JSON object of hosts, found an array/,
      );
      assert.match(
        refusalOf(() => encodeTable('"example.com"')),
        /found a string/,
      );
      assert.match(
        refusalOf(() => encodeTable('{}')),
        /empty/,
      );
      assert.match(
        refusalOf(() => encodeTable('{"example.com": {"WEB": {}}}')),
        /empty/,
      );
      assert.match(
        refusalOf(() => encodeTable('  \n')),
        /empty/,
      );
    });
  });
});
