'use strict';
// The build's table check: what it writes into the manifest, what it warns
// about, and which tables it refuses before anything is compiled.

const { after, test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '../..');
const buildDir = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(root, 'build');
const tool = path.join(buildDir, 'table_manifest');
const demoTable = path.join(root, 'src/tokens/token_table.json');
const demoTokens = path.join(root, 'tokens/demo-tokens.json');
const { PUBLIC_DIGESTS_FILE: publicDigests } = require('../../lib/encode/public-digests');
const { FORMAT_FILE: tableFormat, loadFormat } = require('../../lib/encode/format');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-manifest-'));
after(() => fs.rmSync(tmp, { recursive: true, force: true }));
const { encodeToken, encodeTable } = require('../../lib/encode');
const MASK = loadFormat().mask;

// A leaf for a fresh random token, unknown to everyone.
// A token of printable text: random bytes could hold a NUL, which the check warns about.
const freshLeaf = () => encodeToken(Buffer.from(crypto.randomBytes(24).toString('base64url')), MASK);

function check(tablePath, allowDemoTokens, formatPath = tableFormat) {
  const out = path.join(tmp, `${crypto.randomUUID()}.json`);
  const env = { ...process.env };
  delete env.HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD;
  if (allowDemoTokens) env.HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD = '1';
  const result = spawnSync(tool, [tablePath, formatPath, demoTable, publicDigests, out], { encoding: 'utf8', env });
  const manifest = fs.existsSync(out) ? JSON.parse(fs.readFileSync(out, 'utf8')) : null;
  return { status: result.status, stderr: result.stderr, manifest };
}

function writeTable(name, value) {
  const file = path.join(tmp, name);
  fs.writeFileSync(file, typeof value === 'string' ? value : JSON.stringify(value));
  return file;
}

test('the demo table is recognised, fingerprinted and listed by name only', () => {
  const { status, stderr, manifest } = check(demoTable);
  assert.equal(status, 0, stderr);
  assert.equal(manifest.demo, true);
  assert.equal(manifest.sha256, crypto.createHash('sha256').update(fs.readFileSync(demoTable)).digest('hex'));
  assert.equal(manifest.leaves, 60);
  assert.equal(manifest.undecodableLeaves, 0);
  assert.equal(manifest.demoTokenLeaves, 60);
  assert.deepEqual(Object.keys(manifest.hosts).sort(), [
    'beta.example.com',
    'dev.example.com',
    'example.com',
    'staging.example.com',
    'test.example.com',
    'www.example.com',
  ]);
  assert.deepEqual(manifest.hosts['example.com'], {
    ANDROID: ['KIOSK', 'KIOSK_STORE', 'PROVIDER', 'STORE', 'TRACK_USER', 'USER'],
    IOS: ['PROVIDER', 'STORE', 'USER'],
    WEB: ['USER'],
  });
  assert.match(stderr, /PUBLIC demo token table/);
  const tokens = JSON.parse(fs.readFileSync(demoTokens, 'utf8'));
  const text = JSON.stringify(manifest) + stderr;
  for (const users of Object.values(tokens['example.com'])) {
    for (const token of Object.values(users)) assert.ok(!text.includes(token), 'no token in manifest or log');
  }
});

test('a custom table holding demo tokens fails, wherever they sit, unless ..._ALLOW_DEMO_TOKENS_IN_BUILD=1', () => {
  const demo = JSON.parse(fs.readFileSync(demoTable, 'utf8'));
  // Every demo leaf but one: what a team gets by editing one token of the demo file.
  const mostlyDemo = structuredClone(demo);
  mostlyDemo['example.com'].WEB.USER = freshLeaf();
  const ownPlace = check(writeTable('mostly-demo.json', mostlyDemo));
  assert.equal(ownPlace.status, 1, ownPlace.stderr);
  assert.equal(ownPlace.manifest, null);
  assert.match(ownPlace.stderr, /error: token table leaf staging\.example\.com\/IOS\/STORE holds a public demo token/);
  assert.doesNotMatch(ownPlace.stderr, /leaf example\.com\/WEB\/USER/);
  assert.match(ownPlace.stderr, /59 leaves .* HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=1 for a throwaway/);

  const custom = {
    'api.example.org': { WEB: { USER: demo['example.com'].IOS.STORE }, IOS: { USER: freshLeaf() } },
  };
  const file = writeTable('moved-demo-leaf.json', custom);
  const elsewhere = check(file);
  assert.equal(elsewhere.status, 1, elsewhere.stderr);
  assert.match(elsewhere.stderr, /error: token table leaf api\.example\.org\/WEB\/USER holds a public demo token/);
  assert.equal(elsewhere.manifest, null);

  const allowed = check(file, true);
  assert.equal(allowed.status, 0, allowed.stderr);
  assert.match(allowed.stderr, /warning: token table leaf api\.example\.org\/WEB\/USER holds a public demo token/);
  assert.deepEqual([allowed.manifest.demo, allowed.manifest.demoTokenLeaves], [false, 1]);
});

test('the build takes the demo-token switch by its name, and by its old name with a warning', () => {
  const { demoTokensArgs } = require('../../scripts/build.js');
  const warned = [];
  const args = (env) => demoTokensArgs(env, (line) => warned.push(line));
  const set = '-DHEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD';
  assert.deepEqual(args({}), ['-UHV_ALLOW_DEMO_TOKENS', `${set}=OFF`]);
  assert.deepEqual(args({ HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD: '1' }), ['-UHV_ALLOW_DEMO_TOKENS', `${set}=ON`]);
  assert.deepEqual(warned, []);
  assert.deepEqual(args({ HEADER_VALIDATOR_ALLOW_DEMO_TOKENS: '1' }), ['-UHV_ALLOW_DEMO_TOKENS', `${set}=ON`]);
  assert.deepEqual(warned, [
    'build: warning: HEADER_VALIDATOR_ALLOW_DEMO_TOKENS=1 is deprecated and stops working in version 0.2.0: ' +
      'set HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=1 instead',
  ]);

  // CMake, configured directly: the cache option, and the option's old name, which is moved over once.
  const configure = (dir, ...options) =>
    spawnSync('cmake', ['-S', root, '-B', dir, '-DHV_BUILD_TESTS=OFF', ...options], { encoding: 'utf8' });
  const setting = (dir) => fs.readFileSync(path.join(dir, 'generated', 'table_check_settings.txt'), 'utf8');
  const renamed = path.join(tmp, 'cmake-renamed');
  const old = path.join(tmp, 'cmake-old');
  const current = configure(renamed, `${set}=ON`);
  assert.equal(current.status, 0, current.stderr);
  assert.doesNotMatch(current.stderr, /deprecated/);
  assert.equal(setting(renamed), 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=1\n');
  const first = configure(old, '-DHV_ALLOW_DEMO_TOKENS=ON');
  assert.equal(first.status, 0, first.stderr);
  assert.match(
    first.stderr,
    /^warning: -DHV_ALLOW_DEMO_TOKENS is deprecated and stops working in version 0\.2\.0: set -DHEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=ON instead$/m,
  );
  assert.equal(setting(old), 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=1\n');
  const again = configure(old);
  assert.equal(again.status, 0, again.stderr);
  assert.doesNotMatch(again.stderr, /deprecated/);
  assert.equal(setting(old), 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=1\n');
});

test('one token, or one bcrypt key, at two combinations is a warning naming both', () => {
  // Two encodings of one token: different leaves, same token.
  const token = Buffer.from(crypto.randomBytes(24).toString('base64url'));
  // Different tokens that are one key under $2x$ (test/data/bcrypt-one-key-pairs.json).
  const [oneKey] = require('../data/bcrypt-one-key-pairs.json').pairs.filter((pair) => pair.oneKeyUnder === 'x');
  const custom = {
    'api.example.org': {
      WEB: { USER: encodeToken(token, MASK) },
      IOS: { USER: freshLeaf(), STORE: encodeToken(token, MASK) },
      ANDROID: { USER: encodeToken(Buffer.from(oneKey.a), MASK), KIOSK: encodeToken(Buffer.from(oneKey.b), MASK) },
    },
  };
  const { status, stderr, manifest } = check(writeTable('shared.json', custom));
  assert.equal(status, 0, stderr);
  assert.match(
    stderr,
    /warning: token table leaves api\.example\.org\/IOS\/STORE and api\.example\.org\/WEB\/USER hold the same token/,
  );
  // Once, for the different tokens only: the same token is not one key "again".
  assert.deepEqual(
    stderr.split('\n').filter((line) => line.includes('one bcrypt key')),
    [
      'warning: token table leaves api.example.org/ANDROID/KIOSK and api.example.org/ANDROID/USER hold different ' +
        'tokens that are one bcrypt key under $2x$; a $2x$ code for one is valid for the other',
    ],
  );
  assert.deepEqual([manifest.demo, manifest.demoTokenLeaves], [false, 0]);
});

test('a token that is not UTF-8 text is compared as the text the module hashes, as V8 reads it', () => {
  // Random bytes, mostly ill-formed as UTF-8, beside the text Node.js makes of them: the module
  // hashes that text, so each pair is one token.
  const platforms = {};
  const pairs = [];
  for (const [i, userType] of ['USER', 'PROVIDER', 'STORE'].entries()) {
    const bytes = Buffer.concat([Buffer.from(`token-${i}-`), crypto.randomBytes(40)]).map((b) => b || 1);
    const asText = Buffer.from(bytes.toString('utf8'));
    platforms[['WEB', 'IOS', 'ANDROID'][i]] = { [userType]: encodeToken(bytes, MASK) };
    pairs.push([bytes, asText]);
  }
  platforms.IOS.USER = encodeToken(pairs[1][1], MASK);
  platforms.ANDROID.USER = encodeToken(pairs[2][1], MASK);
  const { status, stderr } = check(writeTable('not-text.json', { 'api.example.org': platforms }));
  assert.equal(status, 0, stderr);
  assert.match(stderr, /leaf api\.example\.org\/ANDROID\/STORE holds a token that is not valid UTF-8 text/);
  assert.match(
    stderr,
    /leaves api\.example\.org\/ANDROID\/STORE and api\.example\.org\/ANDROID\/USER hold the same token/,
  );
  assert.match(stderr, /leaves api\.example\.org\/IOS\/PROVIDER and api\.example\.org\/IOS\/USER hold the same token/);
});

test('a token longer than tokenBytes.max, which bcrypt cuts short, is a warning', () => {
  const table = writeTable('long-tokens.json', {
    'api.example.org': {
      WEB: { USER: encodeToken(Buffer.from('w'.repeat(73)), MASK) },
      IOS: {
        USER: encodeToken(Buffer.from('i'.repeat(41)), MASK),
        STORE: encodeToken(Buffer.from('s'.repeat(40)), MASK),
      },
    },
  });
  const max40 = path.join(tmp, 'format-max-40.json');
  const format = JSON.parse(fs.readFileSync(tableFormat, 'utf8'));
  fs.writeFileSync(max40, JSON.stringify({ ...format, tokenBytes: { ...format.tokenBytes, max: 40 } }));
  const cut = (stderr) => stderr.match(/leaf \S+ holds a token with bytes bcrypt ignores \(over \d+ bytes/g);
  const standard = check(table);
  assert.equal(standard.status, 0, standard.stderr);
  assert.deepEqual(cut(standard.stderr), [
    'leaf api.example.org/WEB/USER holds a token with bytes bcrypt ignores (over 72 bytes',
  ]);
  const lowered = check(table, false, max40);
  assert.equal(lowered.status, 0, lowered.stderr);
  assert.deepEqual(cut(lowered.stderr), [
    'leaf api.example.org/IOS/USER holds a token with bytes bcrypt ignores (over 40 bytes',
    'leaf api.example.org/WEB/USER holds a token with bytes bcrypt ignores (over 40 bytes',
  ]);
});

test('the encoder and the table check accept exactly the same host names', () => {
  const label63 = 'a'.repeat(63);
  const name253 = [label63, label63, label63, 'b'.repeat(61)].join('.');
  const accepted = [
    'example.com',
    'a',
    'A-1.b2',
    '1a.example',
    '127.0.0.1',
    `${label63}.com`,
    name253,
    `${name253.slice(2)}:80`,
    'example.com:1',
    'example.com:65535',
  ];
  const refused = [
    `${label63}a.com`,
    `${name253}b`,
    '12345',
    '12345:80',
    'example.com:0',
    'example.com:65536',
    'example.com:080',
    'example.com:',
    'example.com:80:80',
    '-example.com',
    'example-.com',
    'example..com',
    'example.com.',
    'exa_mple.com',
    'exa mple.com',
    'bücher.example',
    '',
  ];
  for (const [host, expected] of [...accepted.map((h) => [h, true]), ...refused.map((h) => [h, false])]) {
    const shown = JSON.stringify(host.length > 40 ? `${host.slice(0, 20)}...(${host.length})` : host);
    const token = crypto.randomBytes(24).toString('base64url');
    let encoderAccepts = true;
    try {
      encodeTable(JSON.stringify({ [host]: { WEB: { USER: token } } }));
    } catch (err) {
      encoderAccepts = false;
      assert.equal(err.problems?.length, 1, `encoder on ${shown}: ${err.problems ?? err}`);
    }
    assert.equal(encoderAccepts, expected, `encoder on ${shown}`);
    const leaf = encodeToken(Buffer.from(token), MASK);
    const { status, stderr } = check(writeTable('host.json', { [host]: { WEB: { USER: leaf } } }));
    assert.equal(status === 0, expected, `table check on ${shown}: ${stderr}`);
    if (!expected) assert.match(stderr, /is not a host name/, shown);
  }
});

test('undecodable leaves are warnings naming the combination, not failures', () => {
  const { status, stderr, manifest } = check(path.join(root, 'test/tables/edge-leaves.json'));
  assert.equal(status, 0, stderr);
  assert.equal(manifest.undecodableLeaves, 3);
  for (const leaf of ['ANDROID/KIOSK_STORE', 'ANDROID/TRACK_USER', 'IOS/USER']) {
    assert.match(stderr, new RegExp(`warning: token table leaf edge\\.example/${leaf} cannot be decoded`));
  }
});

test('tables that would load wrongly or never match are refused', () => {
  const leaf = JSON.parse(fs.readFileSync(demoTable, 'utf8'))['example.com'].WEB.USER;
  const refusals = {
    'duplicate-key.json': [
      `{"a.example": {"WEB": {"USER": ${JSON.stringify(leaf)}, "USER": []}}}`,
      /"USER" appears twice/,
    ],
    'typo.json': [{ 'a.example': { ANDRIOD: { USER: leaf } } }, /a\.example\/ANDRIOD: unknown platform/],
    'pair.json': [{ 'a.example': { WEB: { PROVIDER: leaf } } }, /a\.example\/WEB\/PROVIDER: user type not used/],
    'proto-host.json': ['{"__proto__": {"WEB": {"USER": []}}}', /host "__proto__" is not a host name/],
    'shape.json': [{ 'a.example': { WEB: { USER: '65' } } }, /User type data is not an array/],
    'empty.json': [{}, /the table has no tokens/],
    'not-json.json': ['{"a.example": ', /parse error/],
  };
  for (const [name, [table, message]] of Object.entries(refusals)) {
    const { status, stderr, manifest } = check(writeTable(name, table));
    assert.equal(status, 1, name);
    assert.match(stderr, message, name);
    assert.equal(manifest, null, `${name}: no manifest written`);
  }
});
