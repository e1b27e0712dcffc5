#!/usr/bin/env node
'use strict';
// Writes the seed corpora in fuzz/corpus/ (committed; run again only to change
// them). Deterministic: keys, IVs and salts come from fixed labels, and the
// tokens are made-up fuzzing tokens, never table tokens.
//
// Usage: node fuzz/make-seeds.js

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const bcrypt = require('bcryptjs');

const { mask, keyIv } = require('../lib/encode/format').loadFormat();
const { encodeToken } = require('../lib/encode');

function bytesFor(label, n) {
  return crypto.createHash('sha512').update(label).digest().subarray(0, n);
}

// The encoder's own steps (mask, Base64, AES-256-CBC, Base64, interleave key
// and IV), with a fixed key and IV.
function encodedText(token, label) {
  const { keyBytes, ivBytes } = keyIv;
  const key = bytesFor(`key:${label}`, keyBytes);
  const iv = bytesFor(`iv:${label}`, ivBytes);
  return Buffer.from(encodeToken(Buffer.from(token), mask, { key, iv }).map(Number));
}

const numerals = (bytes) => [...bytes].map(String);

// bcryptjs takes its salt from a random source; make it a fixed one here.
function codeFor(token, cost, label) {
  let counter = 0;
  bcrypt.setRandomFallback((n) => [...bytesFor(`salt:${label}:${counter++}`, n)]);
  const salt = bcrypt.genSaltSync(cost);
  return bcrypt.hashSync(token, salt);
}

function writeCorpus(target, seeds) {
  const dir = path.join(__dirname, 'corpus', target);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  for (const [name, data] of Object.entries(seeds)) fs.writeFileSync(path.join(dir, name), data);
}

// --- codec_chain: raw encoded texts --------------------------------------------
const shortest = 'fuzz-seed-token-22-byt';
const longest = 'fuzz-seed-token-'.padEnd(72, 'x');
const utf8 = 'fuzz-seed-tök€n-with-four-byte-😀';
writeCorpus('codec_chain', {
  'shortest-token': encodedText(shortest, 'shortest'),
  'longest-token': encodedText(longest, 'longest'),
  'utf8-token': encodedText(utf8, 'utf8'),
  'outer-text-only': Buffer.from('A'.repeat(64)),
  empty: Buffer.alloc(0),
});

// --- bcrypt: token NUL auth code ---------------------------------------------------
const token = 'fuzz-seed-token-0123456789abc';
const code = codeFor(token, 4, 'ascii'); // $2b$04$...
const eightBit = 'fuzz-seed-tøken-with-8-bit-bytes';
const withCode = (t, c) => Buffer.concat([Buffer.from(t), Buffer.from([0]), Buffer.from(c)]);
const variant = (c, v) => `$2${v}$${c.slice(4)}`;
const cost = (c, digits) => `${c.slice(0, 4)}${digits}${c.slice(6)}`;
const lastSalt = (c, ch) => `${c.slice(0, 28)}${ch}${c.slice(29)}`;
writeCorpus('bcrypt', {
  'matching-2b': withCode(token, code),
  'matching-2a': withCode(token, variant(code, 'a')),
  'matching-2x': withCode(token, variant(code, 'x')),
  'matching-2y': withCode(token, variant(code, 'y')),
  'eight-bit-2b': withCode(eightBit, codeFor(eightBit, 5, 'eight-bit')),
  'eight-bit-2x': withCode(eightBit, variant(codeFor(eightBit, 5, 'eight-bit'), 'x')),
  'cost-12': withCode(token, cost(code, '12')),
  'cost-13': withCode(token, cost(code, '13')),
  'cost-31': withCode(token, cost(code, '31')),
  'cost-03': withCode(token, cost(code, '03')),
  'cost-32': withCode(token, cost(code, '32')),
  'length-59': withCode(token, code.slice(0, 59)),
  'length-61': withCode(token, `${code}u`),
  'setting-only': withCode(token, code.slice(0, 29)),
  'non-canonical-salt': withCode(token, lastSalt(code, code[28] === '.' ? '/' : '.')),
  'other-method': withCode(token, `$1$${code.slice(4)}`),
  'wrong-token': withCode('fuzz-seed-other-token', code),
  'empty-token': withCode('', codeFor('', 4, 'empty')),
  'token-only': Buffer.from(token),
});

// --- table_walk: JSON tables and numeral lists --------------------------------------
const leaf = (t, label) => numerals(encodedText(t, label));
const json = (value) => JSON.stringify(value);
writeCorpus('table_walk', {
  table: json({
    'example.com': {
      WEB: { USER: leaf(shortest, 'table-web') },
      ANDROID: { STORE: leaf(utf8, 'table-android'), KIOSK: [] },
    },
    'dev.example.com': {},
  }),
  numerals: json(leaf(shortest, 'numerals')),
  'numeral-forms': json([' 65', '+65', '65abc', '321', '256', '-1', '0', '\t-0']),
  'numeral-no-digits': json(['65', 'abc', '66']),
  'numeral-eleven-digits': json(['65', '12345678901']),
  'numeral-non-string': json(['65', 65, null, ['65'], '66']),
  'host-not-object': json({ 'example.com': [] }),
  'platform-not-object': json({ 'example.com': { WEB: ['65'] } }),
  'user-type-not-array': json({ 'example.com': { WEB: { USER: '65' } } }),
  'element-not-string': json({ 'example.com': { WEB: { USER: ['65', 65] } } }),
  // Written as text: in an object literal "__proto__" would set the prototype.
  'inherited-names': '{"__proto__": {"constructor": {"prototype": ["1"]}, "toString": {}}}',
  scalar: json('text'),
});
