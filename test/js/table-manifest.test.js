'use strict';
// The build's table check: what it writes into the manifest, what it warns
// about, and which tables it refuses before anything is compiled.

const { test } = require('node:test');
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
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-manifest-'));

function check(tablePath) {
  const out = path.join(tmp, `${crypto.randomUUID()}.json`);
  const result = spawnSync(
    tool,
    [tablePath, path.join(root, 'src/tokens/table_format.json'), demoTable, demoTokens, out],
    { encoding: 'utf8' },
  );
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

test('a custom table holding one demo leaf is not the demo table but is flagged', () => {
  const demo = JSON.parse(fs.readFileSync(demoTable, 'utf8'));
  const custom = { 'api.example.org': { WEB: { USER: demo['example.com'].WEB.USER } } };
  const { status, stderr, manifest } = check(writeTable('one-demo-leaf.json', custom));
  assert.equal(status, 0, stderr);
  assert.equal(manifest.demo, false);
  assert.match(stderr, /api\.example\.org\/WEB\/USER holds one of the public demo tokens/);
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
