#!/usr/bin/env node
'use strict';
// Configures and builds the native module with CMake.
//
//   node scripts/build.js                this machine's architecture, into build/Release
//   node scripts/build.js --arch arm64   linux-arm64 with Debian's cross toolchain, into
//                                        build-arm64/, then prebuilds/linux-arm64/ (npm run build:arm64)
//
// HEADER_VALIDATOR_TABLE=/abs/path/table.json compiles that encoded table
// instead of the demo table; HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD=1 lets
// a custom table hold public demo tokens (throwaway test builds only).
// HEADER_VALIDATOR_PREVIOUS_TABLE=/abs/path/old-table.json together with
// HEADER_VALIDATOR_PREVIOUS_UNTIL=<UTC instant> builds a second module from the
// table being replaced, header_validator_previous.node, which verifies until
// then. HEADER_VALIDATOR_VOCABULARY=/abs/path/team.vocabulary.json gives the
// table check a team's own platforms and user types (docs/tokens.md). All are
// passed on every build, so switching any (or back) always
// redoes what depends on it. Every build ends with the linkage test on each
// module it made.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { MODULE_FILE, PREVIOUS_MODULE_FILE, writePrebuild } = require('./lib/prebuilds');
const { DEMO_TOKEN_SWITCHES, demoSwitch } = require('../lib/demo-switches');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build');
const crossBuildDir = path.join(root, 'build-arm64');
const CROSS_COMPILER = 'aarch64-linux-gnu-g++';
// Beyond the compiler, the cross build needs arm64 libcrypt and OpenSSL (CMake looks for the library).
const CROSS_LIBRARIES = ['/usr/lib/aarch64-linux-gnu/libcrypt.a', '/usr/lib/aarch64-linux-gnu/libcrypto.so'];

function fail(message) {
  console.error(`build: ${message}`);
  process.exit(1);
}

function run(cmd, args, env) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: 'inherit', env: { ...process.env, ...env } });
  if (result.error) {
    fail(
      `cannot run ${cmd}: ${result.error.message}` +
        (result.error.code === 'ENOENT' ? ' (run scripts/install-build-deps.sh first)' : ''),
    );
  }
  if (result.status !== 0) process.exit(result.status ?? 1);
}

const PREVIOUS_TABLE = 'HEADER_VALIDATOR_PREVIOUS_TABLE';
const PREVIOUS_UNTIL = 'HEADER_VALIDATOR_PREVIOUS_UNTIL';

/** The file that env[variable] names (a table or vocabulary), as an absolute path; throws when it names none. */
function tableFile(variable, env) {
  // npm runs scripts from the package root; resolve against where the user was.
  const resolved = path.resolve(env.INIT_CWD || process.cwd(), env[variable]);
  if (!fs.existsSync(resolved) || !fs.statSync(resolved).isFile()) {
    throw new Error(`${variable} does not name a file: ${resolved}`);
  }
  return resolved;
}

function tablePath(env = process.env) {
  if (!env.HEADER_VALIDATOR_TABLE) return path.join(root, 'src', 'tokens', 'token_table.json');
  return tableFile('HEADER_VALIDATOR_TABLE', env);
}

/**
 * The previous table that env names, { table, until }, or undefined. Throws
 * when only one of the two variables is set, or the table is not a file. The
 * end of the overlap is checked by the build's table check.
 */
function previousTable(env = process.env) {
  const table = env[PREVIOUS_TABLE] ?? '';
  const until = env[PREVIOUS_UNTIL] ?? '';
  if (table === '' && until === '') return undefined;
  if (table === '' || until === '') {
    const [set, unset] = table === '' ? [PREVIOUS_UNTIL, PREVIOUS_TABLE] : [PREVIOUS_TABLE, PREVIOUS_UNTIL];
    throw new Error(
      `${set} is set without ${unset}: set both (the table being replaced and the end of its overlap) or neither`,
    );
  }
  return { table: tableFile(PREVIOUS_TABLE, env), until };
}

const VOCABULARY = 'HEADER_VALIDATOR_VOCABULARY';

/** The vocabulary file that env names, as an absolute path, or '' for the table format's own. */
function vocabularyFile(env = process.env) {
  return env[VOCABULARY] ? tableFile(VOCABULARY, env) : '';
}

// Set either way, so that a build without a previous table drops the one before.
const previousTableArgs = (previous) => [
  `-D${PREVIOUS_TABLE}=${previous?.table ?? ''}`,
  `-D${PREVIOUS_UNTIL}=${previous?.until ?? ''}`,
];

function onPath(command) {
  return (process.env.PATH ?? '').split(path.delimiter).some((dir) => dir && fs.existsSync(path.join(dir, command)));
}

/** What is missing for the linux-arm64 cross build, or undefined. */
function missingCrossToolchain() {
  const missing = [CROSS_COMPILER, ...CROSS_LIBRARIES].filter((need) =>
    need.startsWith('/') ? !fs.existsSync(need) : !onPath(need),
  );
  if (missing.length === 0) return undefined;
  return (
    `the linux-arm64 cross build needs Debian's aarch64 toolchain and arm64 libraries (missing: ` +
    `${missing.join(', ')}); install them with scripts/install-build-deps.sh --arm64`
  );
}

// The linkage test of the host build (needed libraries, exports, symbol
// versions), read with readelf, so it checks a module of either architecture.
function checkLinkage(modulePath) {
  const test = path.join(buildDir, 'test', 'cpp', 'module_linkage_test');
  if (!fs.existsSync(test)) fail(`no linkage test at ${test}: configure build/ with HV_BUILD_TESTS=ON`);
  run(test, ['--gtest_brief=1'], { HV_MODULE_UNDER_TEST: modulePath });
}

const jobs = String(Math.max(1, Math.min(require('node:os').availableParallelism(), 4)));

/**
 * The CMake arguments for the demo-token switch in env: its cache option, set
 * either way, after dropping the option's deprecated name from a cache made
 * before it was renamed (which would otherwise win).
 */
function demoTokensArgs(env, warn) {
  const { on, deprecation } = demoSwitch('build', env);
  if (deprecation) warn(`build: warning: ${deprecation}`);
  return ['-UHV_ALLOW_DEMO_TOKENS', `-D${DEMO_TOKEN_SWITCHES.build.name}=${on ? 'ON' : 'OFF'}`];
}

// The modules a build makes: the current table's, and the previous table's when it has one.
const moduleFiles = (previous) => (previous ? [MODULE_FILE, PREVIOUS_MODULE_FILE] : [MODULE_FILE]);
const moduleTargets = (previous) =>
  previous ? ['header_validator', 'header_validator_previous'] : ['header_validator'];

function buildHost(tableArgs, targets = []) {
  run('cmake', ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release', ...tableArgs]);
  run('cmake', ['--build', buildDir, '--parallel', jobs, ...targets.flatMap((t) => ['--target', t])]);
}

function buildArm64(tableArgs, previous) {
  if (process.arch !== 'x64') fail(`the linux-arm64 cross build runs on x86-64 Linux, not ${process.arch}`);
  const missing = missingCrossToolchain();
  if (missing) fail(missing);
  // The table check runs on this machine: the host build's tool, and its linkage test.
  buildHost(tableArgs, ['table_manifest', 'module_linkage_test']);
  run('cmake', [
    '-S',
    root,
    '-B',
    crossBuildDir,
    '-DCMAKE_BUILD_TYPE=Release',
    `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'toolchains', 'aarch64-linux-gnu.cmake')}`,
    '-DHV_BUILD_TESTS=OFF',
    `-DHV_HOST_TABLE_MANIFEST=${path.join(buildDir, 'table_manifest')}`,
    ...tableArgs,
  ]);
  run('cmake', [
    '--build',
    crossBuildDir,
    '--parallel',
    jobs,
    ...moduleTargets(previous).flatMap((t) => ['--target', t]),
  ]);
  const release = path.join(crossBuildDir, 'Release');
  for (const file of moduleFiles(previous)) checkLinkage(path.join(release, file));
  console.log(`build: linux-arm64 modules in ${path.relative(root, writePrebuild(release, root))}/`);
}

function main(args) {
  const arm64 = args.length === 2 && args[0] === '--arch' && args[1] === 'arm64';
  if (args.length !== 0 && !arm64) {
    fail(`unknown arguments: ${args.join(' ')} (none for this machine's architecture, or --arch arm64)`);
  }
  let tableArgs;
  let previous;
  try {
    previous = previousTable();
    tableArgs = [
      `-DHV_TABLE=${tablePath()}`,
      ...demoTokensArgs(process.env, console.error),
      ...previousTableArgs(previous),
      // Set either way too: a build without it goes back to the table format's vocabulary.
      `-D${VOCABULARY}=${vocabularyFile()}`,
    ];
  } catch (err) {
    fail(err.message);
  }
  if (arm64) {
    buildArm64(tableArgs, previous);
  } else {
    buildHost(tableArgs);
    for (const file of moduleFiles(previous)) checkLinkage(path.join(buildDir, 'Release', file));
  }
}

if (require.main === module) main(process.argv.slice(2));

module.exports = { missingCrossToolchain, demoTokensArgs, previousTable, vocabularyFile };
