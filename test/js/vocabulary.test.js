'use strict';
// A team's own platforms and user types, from a vocabulary file: encoded,
// checked by the build and compiled in; names outside it and vocabulary files
// that break the rule are refused by the encoder and the build's check alike.

const { after, test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const bcrypt = require('bcryptjs');
const { encodeToken } = require('../../lib/encode');
const { loadFormat } = require('../../lib/encode/format');

const root = path.join(__dirname, '../..');
const buildDir = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(root, 'build');
const tool = path.join(buildDir, 'table_manifest');
const cli = path.join(root, 'bin/header-validator.js');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-vocabulary-'));
after(() => fs.rmSync(tmp, { recursive: true, force: true }));

const HOST = 'shop.example.org';
const TEAM = { platforms: { WEB: ['USER'], KIOSKOS: ['STAFF', 'ADMIN'] } };
const freshToken = () => crypto.randomBytes(24).toString('base64url');

function write(name, value) {
  const file = path.join(tmp, name);
  fs.writeFileSync(file, typeof value === 'string' ? value : JSON.stringify(value));
  return file;
}

function encode(plain, ...options) {
  return spawnSync(process.execPath, [cli, 'encode', plain, ...options], { encoding: 'utf8' });
}

// The build's table check, as CMake runs it; with a vocabulary when one is given.
function check(table, vocabulary) {
  const out = path.join(tmp, `${crypto.randomUUID()}.manifest.json`);
  const args = [
    table,
    path.join(root, 'shared/table_format.json'),
    path.join(root, 'src/tokens/token_table.json'),
    path.join(root, 'shared/public_token_digests.json'),
    out,
  ];
  const result = spawnSync(tool, vocabulary ? [...args, '--vocabulary', vocabulary] : args, { encoding: 'utf8' });
  return { ...result, manifest: fs.existsSync(out) ? JSON.parse(fs.readFileSync(out, 'utf8')) : null };
}

test("a team's own platform is encoded, checked and built into a module that accepts its codes", () => {
  const tokens = { [HOST]: { WEB: { USER: freshToken() }, KIOSKOS: { STAFF: freshToken(), ADMIN: freshToken() } } };
  const plain = write('team.plain.json', tokens);
  const vocabulary = write('team.vocabulary.json', TEAM);
  const table = path.join(tmp, 'team.table.json');
  const encoded = encode(plain, '--vocabulary', vocabulary, '--out', table);
  assert.equal(encoded.status, 0, encoded.stderr);
  assert.match(encoded.stderr, /build it with HEADER_VALIDATOR_VOCABULARY=\S+team\.vocabulary\.json/);

  // The whole build of the module, in a build tree of its own, as npm run build configures it.
  const tree = path.join(tmp, 'build');
  const cmake = (...args) => spawnSync('cmake', args, { encoding: 'utf8' });
  const configured = cmake(
    '-S',
    root,
    '-B',
    tree,
    '-DCMAKE_BUILD_TYPE=Release',
    '-DHV_BUILD_TESTS=OFF',
    `-DHV_TABLE=${table}`,
    `-DHEADER_VALIDATOR_VOCABULARY=${vocabulary}`,
  );
  assert.equal(configured.status, 0, configured.stderr);
  const build = () => cmake('--build', tree, '--parallel', '2', '--target', 'header_validator');
  const built = build();
  assert.equal(built.status, 0, built.stdout + built.stderr);
  const manifest = JSON.parse(fs.readFileSync(path.join(tree, 'Release/header_validator.manifest.json'), 'utf8'));
  assert.deepEqual(manifest.hosts, { [HOST]: { KIOSKOS: ['ADMIN', 'STAFF'], WEB: ['USER'] } });
  assert.deepEqual(manifest.vocabulary.platforms, TEAM.platforms);

  const codes = {
    staff: bcrypt.hashSync(tokens[HOST].KIOSKOS.STAFF, 4),
    admin: bcrypt.hashSync(tokens[HOST].KIOSKOS.ADMIN, 4),
  };
  const loaded = spawnSync(
    process.execPath,
    [
      '-e',
      `const m = require(process.argv[1]); const codes = JSON.parse(process.argv[2]);
       console.log(JSON.stringify([
         m.validateRequest(codes.staff, 'KIOSKOS', 'STAFF', '${HOST}'),
         m.validateRequest(codes.admin, 'KIOSKOS', 'ADMIN', '${HOST}'),
         m.validateRequest(codes.staff, 'KIOSKOS', 'ADMIN', '${HOST}'),
       ]));`,
      path.join(tree, 'Release/header_validator.node'),
      JSON.stringify(codes),
    ],
    { encoding: 'utf8' },
  );
  assert.equal(loaded.status, 0, loaded.stderr);
  assert.deepEqual(JSON.parse(loaded.stdout), [true, true, false]);

  // A change of the file's content alone checks the table again.
  write('team.vocabulary.json', { platforms: { WEB: ['USER'] } });
  const rebuilt = build();
  assert.notEqual(rebuilt.status, 0, 'the check ran again and refused the table');
  assert.match(rebuilt.stdout + rebuilt.stderr, /shop\.example\.org\/KIOSKOS: unknown platform; known platforms: WEB/);
});

test('names outside the vocabulary, such as a typo, are refused by the encoder and the build check', () => {
  const vocabulary = write('typo.vocabulary.json', TEAM);
  const plain = write('typo.plain.json', { [HOST]: { KIOSKSO: { STAFF: freshToken() }, WEB: { USER: freshToken() } } });
  const encoded = encode(plain, '--vocabulary', vocabulary);
  assert.equal(encoded.status, 1);
  assert.match(
    encoded.stderr,
    /shop\.example\.org\/KIOSKSO: unknown platform "KIOSKSO"; did you mean KIOSKOS\? known platforms: WEB, KIOSKOS/,
  );
  assert.equal(encoded.stdout, '', 'nothing written');

  // The team's vocabulary replaces the package's: its ANDROID is unknown too.
  const leaf = () => encodeToken(Buffer.from(freshToken()), loadFormat().mask);
  const refusals = {
    KIOSKSO: [{ KIOSKSO: { STAFF: leaf() } }, /KIOSKSO: unknown platform; known platforms: KIOSKOS, WEB/],
    ANDROID: [{ ANDROID: { USER: leaf() } }, /ANDROID: unknown platform; known platforms: KIOSKOS, WEB/],
    pair: [
      { KIOSKOS: { USER: leaf() } },
      /KIOSKOS\/USER: user type not used with this platform; KIOSKOS has: STAFF, ADMIN/,
    ],
  };
  for (const [name, [platforms, message]] of Object.entries(refusals)) {
    const result = check(write(`${name}.table.json`, { [HOST]: platforms }), vocabulary);
    assert.equal(result.status, 1, name);
    assert.match(result.stderr, message, name);
    assert.equal(result.manifest, null, name);
  }
});

test('a vocabulary file that breaks the rule is refused by both, in one line naming the file', () => {
  const plain = write('rule.plain.json', { [HOST]: { WEB: { USER: freshToken() } } });
  const table = write('rule.table.json', { [HOST]: { WEB: { USER: encodeToken(Buffer.from(freshToken()), 0x5c) } } });
  const cases = {
    'lower-case': ['{"platforms": {"kiosk": ["STAFF"]}}', /platform name "kiosk" is not a name: names are 1 to 32 /],
    'too-long-name': [`{"platforms": {"${'K'.repeat(33)}": ["STAFF"]}}`, /platform name "K{33}" is not a name/],
    proto: ['{"platforms": {"__proto__": ["STAFF"]}}', /platform name "__proto__" is not a name/],
    'user-type': ['{"platforms": {"WEB": ["USER", "user"]}}', /platforms\.WEB: user-type name "user" is not a name/],
    'repeated-user-type': ['{"platforms": {"WEB": ["USER", "USER"]}}', /platforms\.WEB: user type USER appears twice/],
    'repeated-platform': ['{"platforms": {"WEB": ["USER"], "WEB": ["ADMIN"]}}', /the key "WEB" appears twice/],
    'no-user-types': ['{"platforms": {"WEB": []}}', /platforms\.WEB must be a list of 1 to 64 user-type names/],
    'no-platforms': ['{"platforms": {}}', /platforms must hold 1 to 64 platforms, not 0/],
    'other-member': ['{"platforms": {"WEB": ["USER"]}, "hosts": []}', /whose only member is platforms/],
    'bare-platforms': ['{"WEB": ["USER"]}', /whose only member is platforms/],
    'not-json': ['{"platforms": {"WEB": ["USER"]}', /not valid JSON: error at/],
    huge: [`{"platforms": {"WEB": ["USER"]}}${' '.repeat(65536)}`, /the file has more than 65536 bytes/],
  };
  for (const [name, [text, message]] of Object.entries(cases)) {
    const vocabulary = write(`${name}.vocabulary.json`, text);
    const encoded = encode(plain, '--vocabulary', vocabulary);
    assert.equal(encoded.status, 1, `encoder, ${name}: ${encoded.stderr}`);
    assert.equal(encoded.stdout, '', `encoder, ${name}: nothing written`);
    const line = encoded.stderr.trimEnd();
    assert.ok(!line.includes('\n'), `encoder, ${name}: one line`);
    assert.ok(line.startsWith(`header-validator encode: ${vocabulary}: `), `encoder, ${name}: ${line}`);
    assert.match(line, message, `encoder, ${name}`);

    const checked = check(table, vocabulary);
    assert.equal(checked.status, 1, `build check, ${name}: ${checked.stderr}`);
    assert.ok(
      checked.stderr.startsWith(`error: vocabulary: ${vocabulary}: `),
      `build check, ${name}: ${checked.stderr}`,
    );
    assert.match(checked.stderr, message, `build check, ${name}`);
    assert.equal(checked.manifest, null, `build check, ${name}`);
  }
});
