'use strict';

// The table producer's API, encodeToken and encodeTable, checked against a
// decoder written from the format description (test/support/table-decoder.js),
// not from the tool, so that a fault shared by both cannot hide; a broken data
// file of the package; and the committed demo table. What encodeTable refuses
// is tested in encoder-refusals.test.js, the encode command in
// cli-encode.test.js. Tokens are never passed to an assertion that would print
// them on failure.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.join(__dirname, '..', '..');
const { encodeToken, encodeTable } = require('../../lib/encode');
const { loadPublicDigests } = require('../../lib/encode/public-digests');
const { decodeLeaf, expectedOuterLength, MASK } = require('../support/table-decoder.js');
const {
  FORMAT,
  randomToken,
  randomAsciiToken,
  fullPlainTable,
  leavesOf,
  sameToken,
} = require('../support/plain-tables.js');
const { copyOfPackage } = require('../support/installation.js');

// --- encodeToken ----------------------------------------------------------

describe('encodeToken', () => {
  it('round-trips random tokens of 22 to 72 bytes, multi-byte UTF-8 included', () => {
    const lengths = [22, 23, 33, 34, 47, 48, 71, 72, ...Array.from({ length: 150 }, () => crypto.randomInt(22, 73))];
    for (const n of lengths) {
      const token = randomToken(n);
      const encoded = encodeToken(Buffer.from(token, 'utf8'), MASK);
      const { token: decoded, outer } = decodeLeaf(encoded);
      assert.ok(sameToken(decoded, token), `${n}-byte token did not survive the round trip`);
      assert.equal(outer.length, expectedOuterLength(n), `outer text length for ${n} bytes`);
      assert.equal(encoded.length, outer.length + 48, `encoded length for ${n} bytes`);
    }
  });

  it('gives 112 elements from 22 to 33 bytes and more from 34 on', () => {
    assert.equal(encodeToken(Buffer.from(randomAsciiToken(22)), MASK).length, 112);
    assert.equal(encodeToken(Buffer.from(randomAsciiToken(33)), MASK).length, 112);
    assert.equal(encodeToken(Buffer.from(randomAsciiToken(34)), MASK).length, 136);
  });

  it('refuses a token too short to hold the twelve key/IV groups', () => {
    assert.throws(() => encodeToken(Buffer.from(randomAsciiToken(21)), MASK), RangeError);
    assert.throws(() => encodeToken(Buffer.alloc(0), MASK), RangeError);
  });

  it('places a given key and IV where the decoder expects them', () => {
    const key = crypto.randomBytes(32);
    const iv = crypto.randomBytes(16);
    const token = Buffer.from(randomToken(40));
    const first = encodeToken(token, MASK, { key, iv });
    const decoded = decodeLeaf(first);
    assert.ok(decoded.key.equals(key), 'key bytes misplaced');
    assert.ok(decoded.iv.equals(iv), 'IV bytes misplaced');
    assert.deepEqual(encodeToken(token, MASK, { key, iv }), first, 'same key and IV must give the same encoding');
  });

  it('draws a fresh key and IV for every call', () => {
    const token = Buffer.from(randomAsciiToken(30));
    const a = decodeLeaf(encodeToken(token, MASK));
    const b = decodeLeaf(encodeToken(token, MASK));
    assert.ok(a.token.equals(b.token), 'both encodings must carry the token');
    assert.ok(!a.key.equals(b.key), 'key reused');
    assert.ok(!a.iv.equals(b.iv), 'IV reused');
    assert.notEqual(a.outer, b.outer);
  });

  it('masks every byte with the mask it is given', () => {
    const token = Buffer.from(randomToken(50));
    for (const mask of [0x00, 0xa7, 0xff]) {
      const { inner, token: decoded } = decodeLeaf(encodeToken(token, mask), mask);
      assert.equal(inner, token.map((b) => b ^ mask).toString('base64'), `inner text under mask ${mask}`);
      assert.ok(decoded.equals(token), `round trip under mask ${mask}`);
    }
  });

  it('rejects bad arguments', () => {
    const token = Buffer.from(randomAsciiToken(30));
    assert.throws(() => encodeToken('not a buffer', MASK), TypeError);
    assert.throws(() => encodeToken(token, 256), RangeError);
    assert.throws(() => encodeToken(token, -1), RangeError);
    assert.throws(() => encodeToken(token, MASK, { key: crypto.randomBytes(16) }), RangeError);
    assert.throws(() => encodeToken(token, MASK, { iv: crypto.randomBytes(32) }), RangeError);
    // A value of the wrong kind is a TypeError, as in Node.js's APIs.
    assert.throws(() => encodeToken(token, String(MASK)), TypeError);
    assert.throws(() => encodeToken(token, MASK, { key: 'k'.repeat(32) }), TypeError);
    assert.throws(() => encodeToken(token, MASK, { iv: Array(16).fill(0) }), TypeError);
  });
});

// --- encodeTable ----------------------------------------------------------

describe('encodeTable', () => {
  it('encodes every leaf of a full table, each with its own key and IV', () => {
    const plain = fullPlainTable();
    const encoded = encodeTable(JSON.stringify(plain));
    const plainLeaves = [...leavesOf(plain)];
    const encodedLeaves = new Map(leavesOf(encoded));
    assert.deepEqual(
      [...encodedLeaves.keys()],
      plainLeaves.map(([where]) => where),
      'same combinations in the same order',
    );
    const keys = new Set();
    const ivs = new Set();
    for (const [where, token] of plainLeaves) {
      const decoded = decodeLeaf(encodedLeaves.get(where));
      assert.ok(sameToken(decoded.token, token), `${where} decodes to another token`);
      keys.add(decoded.key.toString('hex'));
      ivs.add(decoded.iv.toString('hex'));
    }
    assert.equal(keys.size, plainLeaves.length, 'a key was used twice');
    assert.equal(ivs.size, plainLeaves.length, 'an IV was used twice');
  });

  it('keeps the order of hosts, platforms and user types as given', () => {
    const text = JSON.stringify({
      'staging.example.com': { IOS: { STORE: randomToken(30), USER: randomToken(30) }, WEB: { USER: randomToken(30) } },
      'example.com': { ANDROID: { TRACK_USER: randomToken(30), KIOSK: randomToken(30) } },
    });
    const encoded = encodeTable(text);
    assert.deepEqual(Object.keys(encoded), ['staging.example.com', 'example.com']);
    assert.deepEqual(Object.keys(encoded['staging.example.com']), ['IOS', 'WEB']);
    assert.deepEqual(Object.keys(encoded['staging.example.com'].IOS), ['STORE', 'USER']);
    assert.deepEqual(Object.keys(encoded['example.com'].ANDROID), ['TRACK_USER', 'KIOSK']);
  });

  it('reads a Buffer like a string and skips a byte-order mark', () => {
    const token = randomToken(40);
    const text = JSON.stringify({ 'localhost:8080': { WEB: { USER: token } }, '10.0.0.1': {} });
    for (const input of [Buffer.from(`\uFEFF${text}`), `\uFEFF${text}`]) {
      const encoded = encodeTable(input);
      assert.ok(sameToken(decodeLeaf(encoded['localhost:8080'].WEB.USER).token, token), 'token lost');
      assert.deepEqual(encoded['10.0.0.1'], {});
    }
  });
});

// --- broken installation --------------------------------------------------

describe('a broken file of the package', () => {
  const { FORMAT_FILE } = require('../../lib/encode/format');
  const { PUBLIC_DIGESTS_FILE } = require('../../lib/encode/public-digests');
  const made = [];
  after(() => made.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));

  // A copy of the JavaScript layer and its data files, with one file replaced (null: removed).
  function installationWith(file, content) {
    const dir = copyOfPackage('hv-encode-install-');
    made.push(dir);
    const target = path.join(dir, path.relative(ROOT, file));
    if (content === null) fs.rmSync(target);
    else fs.writeFileSync(target, content);
    return dir;
  }

  it('is a load error naming the file, never a refusal of the input nor a bare system or syntax error', () => {
    const plain = JSON.stringify({ 'example.com': { WEB: { USER: randomAsciiToken(30) } } });
    const cases = [
      [FORMAT_FILE, null],
      [FORMAT_FILE, '{"tokenMask": '],
      [FORMAT_FILE, 'null'],
      [FORMAT_FILE, '{"tokenMask": "0x1"}'],
      [PUBLIC_DIGESTS_FILE, null],
      [PUBLIC_DIGESTS_FILE, '[1, 2'],
      [PUBLIC_DIGESTS_FILE, '{"sha256": []}'],
    ];
    for (const [file, content] of cases) {
      const dir = installationWith(file, content);
      const what = `${path.basename(file)}: ${content}`;
      assert.throws(
        () => require(path.join(dir, 'lib', 'encode')).encodeTable(plain),
        (err) =>
          err.name === 'HeaderValidatorError' &&
          err.code === 'ERR_HEADER_VALIDATOR_LOAD' &&
          err.message.includes(path.basename(file)) &&
          /reinstall the package/.test(err.message),
        what,
      );
    }
  });
});

// --- committed demo table -------------------------------------------------

describe('committed demo table', () => {
  const demo = JSON.parse(fs.readFileSync(path.join(ROOT, 'tokens', 'demo-tokens.json'), 'utf8'));
  const table = JSON.parse(fs.readFileSync(path.join(ROOT, 'src', 'tokens', 'token_table.json'), 'utf8'));

  it('lists every combination in table order', () => {
    const expected = [];
    for (const host of FORMAT.hosts) {
      for (const platform of ['WEB', 'ANDROID', 'IOS']) {
        for (const userType of FORMAT.platforms.get(platform)) expected.push(`${host}/${platform}/${userType}`);
      }
    }
    assert.equal(expected.length, 60);
    assert.deepEqual(
      [...leavesOf(demo)].map(([where]) => where),
      expected,
    );
    assert.deepEqual(
      [...leavesOf(table)].map(([where]) => where),
      expected,
    );
  });

  it('holds demo tokens of 22 to 33 printable ASCII bytes', () => {
    for (const [where, token] of leavesOf(demo)) {
      assert.ok(/^[\x21-\x7e]{22,33}$/.test(token), `${where}: not 22 to 33 printable ASCII characters`);
    }
  });

  it('decodes to exactly the demo tokens, 112 elements and its own key and IV per leaf', () => {
    const tokens = new Map(leavesOf(demo));
    const keyIvs = new Set();
    for (const [where, numerals] of leavesOf(table)) {
      assert.equal(numerals.length, 112, `${where}: element count`);
      const decoded = decodeLeaf(numerals);
      assert.ok(sameToken(decoded.token, tokens.get(where)), `${where} decodes to another token`);
      keyIvs.add(decoded.key.toString('hex')).add(decoded.iv.toString('hex'));
    }
    assert.equal(keyIvs.size, 120, 'a key or IV is shared between leaves');
  });

  it('ships the digests of exactly the demo tokens', () => {
    const expected = [...leavesOf(demo)].map(([, token]) => crypto.createHash('sha256').update(token).digest('hex'));
    assert.deepEqual([...loadPublicDigests()], expected.sort(), 'run tools/public-token-digests.js');
  });
});
