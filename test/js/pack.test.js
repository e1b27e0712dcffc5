'use strict';

// What `npm run package` ships, and what installing the package would run.
// Packing itself (a custom-table build, installed without compilers) is the
// CI stage scripts/ci/pack-smoke.sh.

const { it } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { ROOT } = require('../support/module.js');

const { packedPackageJson } = require('../../scripts/pack.js');

const pkg = JSON.parse(fs.readFileSync(path.join(ROOT, 'package.json'), 'utf8'));

// --ignore-scripts: list only, without the builds and the refusals of `npm run package`.
const npm = process.env.npm_execpath;
const [command, args] = npm ? [process.execPath, [npm]] : ['npm', []];
const [report] = JSON.parse(
  execFileSync(command, [...args, 'pack', '--dry-run', '--json', '--ignore-scripts'], {
    cwd: ROOT,
    encoding: 'utf8',
  }),
);
const files = report.files.map((f) => f.path).sort();

it('packs the JavaScript layer and the prebuilt modules with their manifests, and nothing else', () => {
  // The modules are staged into prebuilds/ by `npm run package`; here only whatever prebuilds/ holds.
  for (const required of [
    'lib/index.js',
    'lib/index.mjs',
    'lib/worker.js',
    'types/index.d.ts',
    'types/index.d.mts',
    'lib/fastify-plugin.js',
    'lib/errors.mjs',
    'bin/header-validator.js',
    'shared/messages.json',
    'lib/encode/index.js',
    'lib/native/index.js',
    'lib/cli/commands/index.js',
    'shared/auth_code_rules.json',
    'shared/table_format.json',
    'shared/public_token_digests.json',
    // The README's links lead into these.
    'docs/README.md',
    'SECURITY.md',
  ]) {
    assert.ok(files.includes(required), `${required} is not packed`);
  }
  const allowed = new RegExp(
    '^(package\\.json|README\\.md|SECURITY\\.md|docs/[^/]+\\.md|' +
      'bin/[^/]+\\.js|lib/(cli/(commands/)?|encode/|native/)?[^/]+\\.m?js|' +
      'types/[^/]+\\.d\\.m?ts|' +
      'shared/(messages|auth_code_rules|table_format|public_token_digests)\\.json|' +
      'prebuilds/linux-(x64|arm64)/header_validator(\\.node|\\.manifest\\.json|\\.fleet-key|_previous\\.node))$',
  );
  assert.deepEqual(
    files.filter((f) => !allowed.test(f)),
    [],
  );
  // No token in any form: plain files, the encoded demo table, sources.
  assert.deepEqual(
    files.filter((f) => /plain|tokens\/(demo|token_table)|\.cc$|\.h$/.test(f)),
    [],
  );
});

it('prepack refuses a build holding any public demo token unless ..._ALLOW_DEMO_TOKENS_IN_PACKAGE=1', () => {
  const { packRefusal } = require('../../scripts/prepack.js');
  const allow = { HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE: '1' };
  assert.equal(packRefusal({ demo: false, demoTokenLeaves: 0 }, {}), '');
  assert.match(packRefusal({ demo: true, demoTokenLeaves: 60 }, {}), /public demo token table/);
  // One demo token left in a custom table, and a manifest that does not say.
  for (const manifest of [{ demo: false, demoTokenLeaves: 1 }, { demo: false }]) {
    const refusal = packRefusal(manifest, {});
    assert.match(refusal, /^prepack: refusing to pack a build whose table holds public demo tokens/);
    assert.match(refusal, /tokens of your own/);
    assert.match(refusal, /HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE=1 npm run package/);
    assert.equal(packRefusal(manifest, allow), '');
  }
});

it('prepack still takes HEADER_VALIDATOR_ALLOW_DEMO_PACK=1, with a warning naming the new switch', () => {
  const prepack = (env) =>
    spawnSync(process.execPath, [path.join(ROOT, 'scripts', 'prepack.js')], {
      encoding: 'utf8',
      env: {
        ...process.env,
        HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE: '',
        HEADER_VALIDATOR_ALLOW_DEMO_PACK: '',
        ...env,
      },
    });
  const manifest = { HEADER_VALIDATOR_PACK_MANIFEST: require('../../lib/native/locate').MANIFEST_PATH };
  const deprecation =
    'prepack: warning: HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 is deprecated and stops working in version 0.2.0: ' +
    'set HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE=1 instead';
  const old = prepack({ ...manifest, HEADER_VALIDATOR_ALLOW_DEMO_PACK: '1' });
  assert.equal(old.status, 0, old.stderr);
  assert.equal(old.stderr.split('\n')[0], deprecation);
  const current = prepack({ ...manifest, HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE: '1' });
  assert.equal(current.status, 0, current.stderr);
  assert.doesNotMatch(current.stderr, /deprecated/);
  assert.equal(prepack(manifest).status, 1, 'the demo build without either switch');

  // npm run package says it once and hands the builds and prepack the new names.
  const { renameDeprecatedSwitches } = require('../../lib/demo-switches');
  const env = { HEADER_VALIDATOR_ALLOW_DEMO_TOKENS: '1', HEADER_VALIDATOR_ALLOW_DEMO_PACK: '1' };
  const warned = [];
  renameDeprecatedSwitches(['build', 'package'], env, (line) => warned.push(line));
  assert.deepEqual(env, {
    HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD: '1',
    HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE: '1',
  });
  assert.equal(warned.length, 2);
});

it('installing the package builds nothing and runs no install script', () => {
  for (const script of ['preinstall', 'install', 'postinstall']) assert.equal(pkg.scripts[script], undefined, script);
  // npm would add `node-gyp rebuild` as an install script for a binding.gyp.
  assert.equal(fs.existsSync(path.join(ROOT, 'binding.gyp')), false);
  for (const name of ['node-gyp-build', 'prebuildify', 'node-gyp'])
    assert.equal(pkg.dependencies[name], undefined, name);
  assert.equal(pkg.bin['header-validator'], 'bin/header-validator.js');
});

it('the packed package.json names its table in the version and runs nothing it does not carry', () => {
  const sha256 = '2513d90a3d08874c976b2ebb66031f128be12cda98e518a5f0e0513145cac63b';
  const packed = packedPackageJson(pkg, sha256);
  // A new table is a new file name, header-validator-<version>.tgz, and a new lockfile entry.
  assert.equal(packed.version, `${pkg.version}-table-2513d90a3d08874c`);
  assert.notEqual(packedPackageJson(pkg, `f${sha256.slice(1)}`).version, packed.version);
  for (const [name, script] of Object.entries(packed.scripts ?? {})) {
    const file = /^node (\S+)/.exec(script)?.[1];
    assert.ok(files.includes(file), `script ${name} runs ${file}, which is not packed`);
  }
  assert.equal(packed.scripts?.prepare, undefined);
  assert.equal(packed.devDependencies, undefined);
  assert.deepEqual([packed.os, packed.cpu, packed.libc], [['linux'], ['x64', 'arm64'], ['glibc']]);
});
