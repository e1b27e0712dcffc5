'use strict';
// A build with a previous table (the tokens being replaced, verified until a
// set end): what the table check refuses, what it reports per combination, how
// the package describes and loads it, and how its pack is named.

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
const tables = path.join(root, 'test/tables');
const currentTable = path.join(tables, 'rotation-current.json');
const previousTable = path.join(tables, 'rotation-previous.json');
// Public test-only tokens of the two tables above.
const rotationTokens = require('../tables/rotation.tokens.json');
const { PUBLIC_DIGESTS_FILE: publicDigests } = require('../../lib/encode/public-digests');
const { FORMAT_FILE: tableFormat, loadFormat } = require('../../lib/encode/format');
const { encodeToken } = require('../../lib/encode');
const MASK = loadFormat().mask;

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-previous-'));
after(() => fs.rmSync(tmp, { recursive: true, force: true }));

const sha256 = (file) => crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
const inDays = (days) => new Date(Date.now() + days * 86_400_000).toISOString();
const freshToken = () => Buffer.from(crypto.randomBytes(24).toString('base64url'));

function writeTable(value) {
  const file = path.join(tmp, `${crypto.randomUUID()}.json`);
  fs.writeFileSync(file, JSON.stringify(value));
  return file;
}

// The build's table check with a previous table; `clock` freezes the check's clock (faketime).
function check(table, previous, until, { allowDemoTokens = false, clock } = {}) {
  const out = path.join(tmp, `${crypto.randomUUID()}.json`);
  const env = { ...process.env, TZ: 'UTC' };
  delete env.HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD;
  if (allowDemoTokens) env.HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD = '1';
  // The tool is an uninstrumented build, and the ASan runtime that the sanitizer stage
  // preloads into Node.js deadlocks at start-up beside faketime's own preload.
  if (clock) delete env.LD_PRELOAD;
  const args = [table, tableFormat, demoTable, publicDigests, out, '--previous', previous, until];
  const result = clock
    ? spawnSync('faketime', ['-f', clock, tool, ...args], { encoding: 'utf8', env })
    : spawnSync(tool, args, { encoding: 'utf8', env });
  assert.equal(result.error, undefined, 'faketime is installed by scripts/install-build-deps.sh');
  const manifest = fs.existsSync(out) ? JSON.parse(fs.readFileSync(out, 'utf8')) : null;
  return { status: result.status, stderr: result.stderr, manifest, out };
}

function assertRefused({ status, stderr, manifest }, message, what) {
  assert.equal(status, 1, `${what}: ${stderr}`);
  assert.equal(manifest, null, `${what}: no manifest written`);
  assert.match(stderr.trimEnd().split('\n').pop(), message, what);
}

test('the end of the overlap is a UTC instant after the build clock and at most 400 days ahead', () => {
  const clock = '2026-01-01 00:00:00';
  const accepted = {
    '2027-02-05T00:00:00Z': '2027-02-05T00:00:00.000Z',
    '2026-01-01T00:00:00.001Z': '2026-01-01T00:00:00.001Z',
    '2026-06-01T12:30:00.5Z': '2026-06-01T12:30:00.500Z',
  };
  for (const [until, recorded] of Object.entries(accepted)) {
    const result = check(currentTable, previousTable, until, { clock });
    assert.equal(result.status, 0, `${until}: ${result.stderr}`);
    assert.equal(result.manifest.previous.until, recorded);
  }
  const refused = {
    '2026-01-01T00:00:00Z':
      /UNTIL 2026-01-01T00:00:00\.000Z has passed \(this build's clock: 2026-01-01T00:00:00\.000Z\)/,
    '2025-06-01T00:00:00Z': /has passed/,
    '2027-02-05T00:00:00.001Z': /is more than 400 days ahead .* set an end within 400 days$/,
    '2026-06-01T00:00:00': /'2026-06-01T00:00:00' is not a UTC instant: write it in ISO 8601 ending in Z/,
    '2026-06-01T00:00:00+02:00': /is not a UTC instant/,
    '2026-06-01': /is not a UTC instant/,
    '2026-02-29T00:00:00Z': /is not a UTC instant/,
    '2026-06-01T24:00:00Z': /is not a UTC instant/,
    'next week\n': /'next week\\x0A' is not a UTC instant/,
  };
  for (const [until, message] of Object.entries(refused)) {
    const result = check(currentTable, previousTable, until, { clock });
    assertRefused(result, message, until);
    assert.match(result.stderr, /^error: previous token table: HEADER_VALIDATOR_PREVIOUS_UNTIL /m, until);
  }
});

test('the previous table and its end go together, before anything is configured', () => {
  const { previousTable: fromEnv } = require('../../scripts/build.js');
  const TABLE = 'HEADER_VALIDATOR_PREVIOUS_TABLE';
  const UNTIL = 'HEADER_VALIDATOR_PREVIOUS_UNTIL';
  assert.equal(fromEnv({}), undefined);
  assert.equal(fromEnv({ [TABLE]: '', [UNTIL]: '' }), undefined);
  assert.throws(() => fromEnv({ [TABLE]: previousTable }), {
    message:
      `${TABLE} is set without ${UNTIL}: ` +
      'set both (the table being replaced and the end of its overlap) or neither',
  });
  assert.throws(() => fromEnv({ [UNTIL]: '2027-01-01T00:00:00Z' }), {
    message: new RegExp(`^${UNTIL} is set without ${TABLE}`),
  });
  // Resolved as HEADER_VALIDATOR_TABLE is: against where npm was run.
  assert.deepEqual(fromEnv({ [TABLE]: 'rotation-previous.json', [UNTIL]: 'x', INIT_CWD: tables }), {
    table: previousTable,
    until: 'x',
  });
  assert.throws(() => fromEnv({ [TABLE]: 'missing.json', [UNTIL]: 'x', INIT_CWD: tables }), {
    message: `${TABLE} does not name a file: ${path.join(tables, 'missing.json')}`,
  });
  const alone = spawnSync(process.execPath, [path.join(root, 'scripts/build.js')], {
    encoding: 'utf8',
    env: { ...process.env, [TABLE]: '', [UNTIL]: '2027-01-01T00:00:00Z' },
  });
  assert.equal(alone.status, 1);
  assert.match(alone.stderr, /^build: HEADER_VALIDATOR_PREVIOUS_UNTIL is set without HEADER_VALIDATOR_PREVIOUS_TABLE/);
  assert.doesNotMatch(alone.stdout, /Configuring/);
});

test('a previous table that rotates nothing, holds demo tokens or breaks the table rules is refused', () => {
  const until = inDays(30);
  assertRefused(check(currentTable, currentTable, until), /holds the same bytes as the current table/, 'same file');

  // Other bytes, the same tokens: every leaf encoded again under its own key and IV.
  const { host, current } = rotationTokens;
  const reencoded = { [host]: {} };
  for (const [platform, userTypes] of Object.entries(current)) {
    reencoded[host][platform] = {};
    for (const [userType, token] of Object.entries(userTypes)) {
      reencoded[host][platform][userType] = encodeToken(Buffer.from(token), MASK);
    }
  }
  reencoded[host].ANDROID.USER = encodeToken(freshToken(), MASK); // only in the previous table
  assertRefused(
    check(currentTable, writeTable(reencoded), until),
    /no combination of \S+ holds a token other than the current table's \(4 unchanged, 1 only in the previous table\), so it carries nothing to rotate; .* build without HEADER_VALIDATOR_PREVIOUS_TABLE and HEADER_VALIDATOR_PREVIOUS_UNTIL$/,
    'same tokens',
  );

  // The demo table as the previous one of a table that replaced one demo token.
  const demo = JSON.parse(fs.readFileSync(demoTable, 'utf8'));
  const custom = writeTable({ 'example.com': { WEB: { USER: encodeToken(freshToken(), MASK) } } });
  const demoPrevious = check(custom, demoTable, until);
  assertRefused(
    demoPrevious,
    /60 leaves of the previous table hold public demo tokens.*ALLOW_DEMO_TOKENS_IN_BUILD=1/,
    'demo',
  );
  assert.match(
    demoPrevious.stderr,
    /^error: previous token table leaf example\.com\/WEB\/USER holds a public demo token$/m,
  );
  const allowed = check(custom, demoTable, until, { allowDemoTokens: true });
  assert.equal(allowed.status, 0, allowed.stderr);
  assert.match(
    allowed.stderr,
    /warning: previous token table leaf example\.com\/WEB\/USER holds a public demo token \(allowed/,
  );
  assert.equal(allowed.manifest.previous.demoTokenLeaves, 60);
  // ...which packing still refuses without its own switch.
  const { packRefusal } = require('../../scripts/prepack.js');
  assert.match(
    packRefusal(allowed.manifest, {}),
    /^prepack: refusing to pack a build whose previous table holds public demo tokens at 60/,
  );
  assert.equal(packRefusal(allowed.manifest, { HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE: '1' }), '');

  const leaf = demo['example.com'].WEB.USER;
  assertRefused(
    check(custom, writeTable({ 'example.com': { ANDRIOD: { USER: leaf } } }), until),
    /^error: previous token table: example\.com\/ANDRIOD: unknown platform; known platforms: ANDROID, IOS, WEB /,
    'vocabulary',
  );
  assertRefused(
    check(custom, writeTable({ 'example..com': { WEB: { USER: leaf } } }), until),
    /^error: previous token table: host "example\.\.com" is not a host name$/,
    'host name',
  );
});

test('the manifest and the build log say per combination what the previous table changes, names only', () => {
  const until = inDays(30);
  const { status, stderr, manifest } = check(currentTable, previousTable, until);
  assert.equal(status, 0, stderr);
  const at = (platform, userType) => [rotationTokens.host, platform, userType];
  // The start of the overlap: the build's own clock.
  assert.ok(Math.abs(Date.parse(manifest.previous.since) - Date.now()) < 60_000, manifest.previous.since);
  assert.deepEqual(manifest.previous, {
    sha256: sha256(previousTable),
    since: manifest.previous.since,
    until,
    leaves: 4,
    undecodableLeaves: 1,
    demoTokenLeaves: 0,
    rotated: [at('WEB', 'USER')],
    // The same token under another key and IV, and a previous leaf that holds no token.
    unchanged: [at('ANDROID', 'STORE'), at('IOS', 'USER')],
    added: [at('IOS', 'STORE')],
    removed: [at('ANDROID', 'USER')],
  });
  assert.equal(manifest.sha256, sha256(currentTable));
  const notes = stderr.split('\n').filter((line) => line.startsWith('note: '));
  assert.deepEqual(notes, [
    `note: previous table sha256:${sha256(previousTable)} verifies until ${until}: ` +
      '1 rotated, 2 unchanged, 1 added, 1 removed',
    'note: rotated (the previous token verifies too): rotation.example/WEB/USER',
    'note: added (current table only): rotation.example/IOS/STORE',
    'note: removed (previous table only, refused): rotation.example/ANDROID/USER',
  ]);
  assert.match(stderr, /warning: previous token table leaf rotation\.example\/ANDROID\/STORE cannot be decoded/);
  const text = JSON.stringify(manifest) + stderr;
  for (const side of [rotationTokens.current, rotationTokens.previous]) {
    for (const users of Object.values(side)) {
      for (const token of Object.values(users)) assert.ok(!text.includes(token), 'no token in manifest or log');
    }
  }

  // A previous token that another combination holds now lets that combination's codes in.
  const [a, b] = [freshToken(), freshToken()];
  const swapped = check(
    writeTable({ 'x.example': { WEB: { USER: encodeToken(a, MASK) }, IOS: { USER: encodeToken(b, MASK) } } }),
    writeTable({ 'x.example': { WEB: { USER: encodeToken(b, MASK) }, IOS: { USER: encodeToken(b, MASK) } } }),
    until,
  );
  assert.equal(swapped.status, 0, swapped.stderr);
  assert.match(
    swapped.stderr,
    new RegExp(
      `^warning: previous token table leaf x\\.example/WEB/USER holds the current token of x\\.example/IOS/USER; ` +
        `until ${until.replace(/\./g, '\\.')} a code for x\\.example/IOS/USER is valid for x\\.example/WEB/USER too$`,
      'm',
    ),
  );
});

test('the package describes the previous table, names what it rotates and loads its check, never as an export', () => {
  // The JavaScript layer beside the test pair of modules, as a build with a previous table lays them out.
  const dir = path.join(tmp, 'package');
  const release = path.join(dir, 'build', 'Release');
  for (const sub of ['lib', 'shared', 'bin']) fs.cpSync(path.join(root, sub), path.join(dir, sub), { recursive: true });
  fs.symlinkSync(path.join(root, 'node_modules'), path.join(dir, 'node_modules'));
  fs.mkdirSync(release, { recursive: true });
  for (const file of ['header_validator.node', 'header_validator_previous.node']) {
    fs.symlinkSync(path.join(buildDir, 'test-modules', 'rotation', file), path.join(release, file));
  }
  const until = inDays(30);
  const { status, stderr, out, manifest } = check(currentTable, previousTable, until);
  assert.equal(status, 0, stderr);
  fs.copyFileSync(out, path.join(release, 'header_validator.manifest.json'));

  // Codes made outside the module (bcryptjs, cost 4) from the old and the new token of the rotated combination.
  const bcrypt = require('bcryptjs');
  const codes = {
    old: bcrypt.hashSync(rotationTokens.previous.WEB.USER, 4),
    new: bcrypt.hashSync(rotationTokens.current.WEB.USER, 4),
  };
  const script = `
    const { Worker } = require('node:worker_threads');
    const { tableInfo, isRotated } = require('./lib/table-info');
    const native = require('./lib/native');
    const codes = ${JSON.stringify(codes)};
    const host = 'rotation.example';
    const check = (fn) => [fn(codes.old, 'WEB', 'USER', host), fn(codes.new, 'WEB', 'USER', host)];
    const rotated = [['WEB', 'USER'], ['IOS', 'USER'], ['IOS', 'STORE'], ['ANDROID', 'USER'], ['ANDROID', 'STORE'],
      ['WEB', 'USER ']].map(([p, u]) => isRotated(host, p, u));
    rotated.push(isRotated('__proto__', 'WEB', 'USER'), isRotated(host, 'WEB', { toString: () => 'USER' }));
    const previousCheck = native.loadPrevious();
    const worker = new Worker(
      "const { parentPort, workerData } = require('node:worker_threads');" +
        "const p = require(require('node:path').resolve('lib/native')).loadPrevious();" +
        "parentPort.postMessage(p(workerData, 'WEB', 'USER', 'rotation.example'));",
      { eval: true, workerData: codes.old },
    );
    worker.once('message', (inWorker) => console.log(JSON.stringify({
      previous: tableInfo().previous, rotated, current: check(native.load().validateRequest),
      entry: check(require('./lib').validateRequest), previousCheck: check(previousCheck), inWorker,
    })));`;
  const run = spawnSync(process.execPath, ['-e', script], { cwd: dir, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  assert.deepEqual(JSON.parse(run.stdout), {
    previous: {
      sha256: sha256(previousTable),
      since: manifest.previous.since,
      until,
      rotated: 1,
      unchanged: 2,
      added: 1,
      removed: 1,
      demoTokens: 0,
    },
    rotated: [true, false, false, false, false, false, false, false],
    current: [false, true],
    entry: [false, true],
    previousCheck: [true, false],
    inWorker: true,
  });

  const list = spawnSync(process.execPath, ['bin/header-validator.js', 'list'], { cwd: dir, encoding: 'utf8' });
  assert.equal(list.status, 0, list.stderr);
  const lines = list.stdout.split('\n');
  assert.deepEqual(lines.slice(0, 3), [
    `fingerprint: sha256:${sha256(currentTable)}`,
    `previous table: sha256:${sha256(previousTable)}, verifies rotated combinations until ${until}`,
    'previous table changes: 1 rotated, 2 unchanged, 1 added, 1 removed (refused)',
  ]);
  assert.ok(lines.includes('rotation.example WEB USER (rotated)'), list.stdout);
  assert.ok(lines.includes('rotation.example IOS USER'), list.stdout);
  const json = spawnSync(process.execPath, ['bin/header-validator.js', 'list', '--json'], {
    cwd: dir,
    encoding: 'utf8',
  });
  assert.equal(JSON.parse(json.stdout).previous.until, until);

  // This repository's own build has no previous table.
  const own = require('../../lib/table-info');
  assert.equal(own.tableInfo().previous, null);
  assert.equal(own.isRotated('example.com', 'WEB', 'USER'), false);
  assert.equal(require('../../lib/native').loadPrevious(), undefined);
});

test('two packs that differ only in the previous table or its end get different names', () => {
  const { packVersionTag, packedPackageJson } = require('../../scripts/pack.js');
  const table = '2513d90a3d08874c976b2ebb66031f128be12cda98e518a5f0e0513145cac63b';
  const previous = { sha256: 'c'.repeat(64), until: '2027-03-01T00:00:00.000Z' };
  const tag = packVersionTag(table, previous);
  assert.match(tag, /^table-2513d90a3d08874c\.rotation-[0-9a-f]{16}$/);
  const others = [
    packVersionTag(table, { ...previous, sha256: `d${previous.sha256.slice(1)}` }),
    packVersionTag(table, { ...previous, until: '2027-03-01T00:00:00.001Z' }),
    packVersionTag(`f${table.slice(1)}`, previous).replace(/^table-f/, 'table-2'),
  ];
  assert.equal(new Set([tag, ...others]).size, 4);
  // Without a previous table, the names packs had before.
  assert.equal(packVersionTag(table), 'table-2513d90a3d08874c');
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  assert.equal(packedPackageJson(pkg, table, previous).version, `${pkg.version}-${tag}`);
});

test('packing checks its options and its destination before it builds anything', () => {
  const { packOptions, checkDestination } = require('../../scripts/pack.js');
  const takes =
    /\(npm run package takes --pack-destination <dir>, --dry-run, --json, --loglevel <level> and --silent\)$/;
  assert.throws(() => packOptions(['--destination', '/tmp'], '/'), { message: /^unknown option --destination / });
  assert.throws(() => packOptions(['other-package'], '/'), { message: /^unexpected argument other-package / });
  assert.throws(() => packOptions(['--pack-destination'], '/'), { message: takes });
  assert.throws(() => packOptions(['--loglevel', 'loud'], '/'), { message: /^--loglevel loud is not one of silent, / });
  // Relative to where npm was run, not to the staging folder npm pack runs in.
  assert.deepEqual(packOptions(['--pack-destination', 'dist', '--dry-run', '--loglevel=warn'], '/work'), {
    destination: '/work/dist',
    npmArgs: ['--pack-destination', '/work/dist', '--dry-run', '--loglevel=warn'],
  });
  const missing = path.join(tmp, 'missing');
  assert.throws(() => checkDestination(missing), {
    message: `the pack destination ${missing} does not exist: create it, or name another with --pack-destination <dir>`,
  });
  assert.throws(() => checkDestination(previousTable), { message: /is not a directory/ });
  assert.doesNotThrow(() => checkDestination(tmp));

  const packed = spawnSync(process.execPath, [path.join(root, 'scripts/pack.js'), '--pack-destination', missing], {
    encoding: 'utf8',
    env: { ...process.env, HEADER_VALIDATOR_PACK_X64_ONLY: '1' },
  });
  assert.equal(packed.status, 1);
  assert.equal(
    packed.stderr,
    `pack: the pack destination ${missing} does not exist: create it, or name another with --pack-destination <dir>\n`,
  );
});
