#!/usr/bin/env node
'use strict';
// `npm run package`: packs a team's build as the tarball its servers install.
//
//   HEADER_VALIDATOR_TABLE=/abs/path/table.json npm run package [-- <options>]
//
// Options (checked, with the destination, before anything is built):
// --pack-destination <dir> (default: where npm was run), --dry-run, --json,
// --loglevel <level> and --silent, passed on to npm pack.
//
// Builds the table for linux-x64 (this machine) and linux-arm64 (Debian's
// cross toolchain), applies prepack's refusals to each build's manifest, and
// packs both modules in the prebuilds/ layout from a staging folder. The
// staged package.json differs from this one in two ways:
//  - its version names the table: 0.1.0-table-<first 16 hex digits of the
//    table's sha256>, and with a previous table (HEADER_VALIDATOR_PREVIOUS_TABLE
//    and _UNTIL, see scripts/build.js) also .rotation-<16 hex digits of a
//    digest over the table's, the previous table's sha256 and the end of the
//    overlap>. npm installs a cached tarball's contents for as long as the
//    lockfile's integrity names them, so a change of anything the package's
//    behaviour depends on must be a new file and a new lockfile entry; npm
//    drops build metadata (`+...`) from versions, so it goes into a prerelease;
//  - it keeps only the scripts whose files the package carries.
// HEADER_VALIDATOR_PACK_X64_ONLY=1 packs linux-x64 alone, without the cross toolchain.
// The demo-token switches of the build and of prepack, and
// HEADER_VALIDATOR_VOCABULARY, pass through to them.

const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const { MANIFEST_FILE, writePrebuild } = require('./lib/prebuilds');
const { renameDeprecatedSwitches } = require('../lib/demo-switches');

const root = path.resolve(__dirname, '..');
// Scripts that run from the packed files alone.
const CARRIED_SCRIPTS = ['demo', 'encode-table'];

const PACK_OPTIONS = {
  'pack-destination': { type: 'string' },
  'dry-run': { type: 'boolean' },
  json: { type: 'boolean' },
  loglevel: { type: 'string' },
  silent: { type: 'boolean' },
};
const LOG_LEVELS = ['silent', 'error', 'warn', 'notice', 'http', 'info', 'verbose', 'silly'];
const TAKES = 'npm run package takes --pack-destination <dir>, --dry-run, --json, --loglevel <level> and --silent';

/**
 * The npm pack arguments for these options: { destination, npmArgs }, the
 * destination resolved against cwd (where npm was run). Throws an Error with a
 * one-line message for anything else.
 * @param {string[]} argv
 * @param {string} cwd
 */
function packOptions(argv, cwd) {
  let values;
  try {
    ({ values } = parseArgs({ args: argv, options: PACK_OPTIONS, strict: true, allowPositionals: false }));
  } catch (err) {
    const what =
      err.code === 'ERR_PARSE_ARGS_UNKNOWN_OPTION'
        ? `unknown option ${/'([^']*)'/.exec(err.message)?.[1] ?? ''}`
        : err.code === 'ERR_PARSE_ARGS_UNEXPECTED_POSITIONAL'
          ? `unexpected argument ${/'([^']*)'/.exec(err.message)?.[1] ?? ''}`
          : err.message.split('\n')[0];
    throw new Error(`${what} (${TAKES})`, { cause: err });
  }
  if (values.loglevel !== undefined && !LOG_LEVELS.includes(values.loglevel)) {
    throw new Error(`--loglevel ${values.loglevel} is not one of ${LOG_LEVELS.join(', ')}`);
  }
  const destination = path.resolve(cwd, values['pack-destination'] ?? '.');
  const npmArgs = ['--pack-destination', destination];
  if (values['dry-run']) npmArgs.push('--dry-run');
  if (values.json) npmArgs.push('--json');
  if (values.loglevel !== undefined) npmArgs.push(`--loglevel=${values.loglevel}`);
  if (values.silent) npmArgs.push('--silent');
  return { destination, npmArgs };
}

/** Throws an Error with a one-line message unless dir is a directory this process can write into. */
function checkDestination(dir) {
  let stat;
  try {
    stat = fs.statSync(dir);
  } catch (err) {
    const why = err.code === 'ENOENT' ? 'does not exist' : `cannot be examined (${err.code ?? err.message})`;
    throw new Error(`the pack destination ${dir} ${why}: create it, or name another with --pack-destination <dir>`, {
      cause: err,
    });
  }
  if (!stat.isDirectory()) {
    throw new Error(`the pack destination ${dir} is not a directory: name one with --pack-destination <dir>`);
  }
  try {
    fs.accessSync(dir, fs.constants.W_OK | fs.constants.X_OK);
  } catch {
    throw new Error(`the pack destination ${dir} is not writable: name another with --pack-destination <dir>`);
  }
}

/**
 * The prerelease tag of a build's version: the table's fingerprint, and with a
 * previous table a digest over all that the package's behaviour depends on
 * (the table, the previous table and the end of the overlap).
 * @param {string} sha256 the table's
 * @param {{ sha256: string, until: string }} [previous] the manifest's
 */
function packVersionTag(sha256, previous) {
  const tag = `table-${sha256.slice(0, 16)}`;
  if (!previous) return tag;
  const rotation = crypto
    .createHash('sha256')
    .update(JSON.stringify([sha256, previous.sha256, previous.until]))
    .digest('hex');
  return `${tag}.rotation-${rotation.slice(0, 16)}`;
}

/**
 * The package.json that goes into the tarball of a build of the table with
 * this sha256, and of the previous table the manifest describes, if any.
 */
function packedPackageJson(pkg, sha256, previous) {
  const tag = packVersionTag(sha256, previous);
  const packed = {};
  for (const [key, value] of Object.entries(pkg)) {
    if (key === 'devDependencies' || key === 'overrides') continue;
    if (key === 'version') packed.version = `${value}${value.includes('-') ? '.' : '-'}${tag}`;
    else if (key === 'scripts') {
      const kept = CARRIED_SCRIPTS.filter((name) => name in value).map((name) => [name, value[name]]);
      if (kept.length > 0) packed.scripts = Object.fromEntries(kept);
    } else packed[key] = value;
  }
  return packed;
}

function fail(message) {
  console.error(`pack: ${message}`);
  process.exit(1);
}

// Build output goes to standard error: standard output is npm pack's alone (--json included).
function run(cmd, args, options = {}) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: ['inherit', 2, 'inherit'], ...options });
  if (result.error) fail(`cannot run ${cmd}: ${result.error.message}`);
  if (result.status !== 0) process.exit(result.status ?? 1);
  return result;
}

const npm = (args, options) =>
  process.env.npm_execpath
    ? run(process.execPath, [process.env.npm_execpath, ...args], options)
    : run('npm', args, options);

function buildAndCheck(buildArgs, manifestPath) {
  run(process.execPath, [path.join(__dirname, 'build.js'), ...buildArgs]);
  // prepack's refusals (a demo table, and whatever else it refuses), for this build.
  run(process.execPath, [path.join(__dirname, 'prepack.js')], {
    env: { ...process.env, HEADER_VALIDATOR_PACK_MANIFEST: manifestPath },
  });
  return JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
}

function main() {
  let pack;
  try {
    pack = packOptions(process.argv.slice(2), process.env.INIT_CWD || process.cwd());
    checkDestination(pack.destination);
    require('./build').previousTable(process.env);
    require('./build').vocabularyFile(process.env);
  } catch (err) {
    fail(err.message);
  }
  // Each build and each prepack run would say it again: said once here, and passed on under the new names.
  renameDeprecatedSwitches(['build', 'package'], process.env, (line) => console.error(`pack: warning: ${line}`));
  const x64Only = process.env.HEADER_VALIDATOR_PACK_X64_ONLY === '1';
  if (process.arch !== 'x64' || process.platform !== 'linux') {
    fail(`packing runs on x86-64 Linux, which builds linux-arm64 too; this is ${process.platform}-${process.arch}`);
  }
  const missing = x64Only ? undefined : require('./build').missingCrossToolchain();
  if (missing) {
    fail(`${missing}\npack: or pack linux-x64 alone: HEADER_VALIDATOR_PACK_X64_ONLY=1 npm run package`);
  }

  const releases = [path.join(root, 'build', 'Release')];
  const x64 = buildAndCheck([], path.join(releases[0], MANIFEST_FILE));
  if (!x64Only) {
    releases.push(path.join(root, 'build-arm64', 'Release'));
    const arm64 = buildAndCheck(['--arch', 'arm64'], path.join(releases[1], MANIFEST_FILE));
    if (packVersionTag(arm64.sha256, arm64.previous) !== packVersionTag(x64.sha256, x64.previous)) {
      fail('the linux-x64 and linux-arm64 builds hold different tables');
    }
  }

  const staging = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-pack-'));
  // On every exit: a failed step exits at once.
  process.on('exit', () => fs.rmSync(staging, { recursive: true, force: true }));
  // The files this package.json's allow-list packs, but the modules: those come fresh from the builds.
  const listing = npm(['pack', '--dry-run', '--json', '--ignore-scripts', '--loglevel=error'], {
    stdio: ['ignore', 'pipe', 'inherit'],
    encoding: 'utf8',
  });
  for (const { path: file } of JSON.parse(listing.stdout)[0].files) {
    if (file === 'package.json' || file.startsWith('prebuilds/')) continue;
    fs.cpSync(path.join(root, file), path.join(staging, file));
  }
  const platforms = releases.map((release) => path.basename(writePrebuild(release, staging)));
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  fs.writeFileSync(
    path.join(staging, 'package.json'),
    `${JSON.stringify(packedPackageJson(pkg, x64.sha256, x64.previous), null, 2)}\n`,
  );

  npm(['pack', ...pack.npmArgs], { cwd: staging, stdio: 'inherit' });
  console.error(`pack: ${platforms.join(' and ')}, ${x64.demo ? 'DEMO' : 'custom'} table sha256:${x64.sha256}`);
  if (x64.previous) {
    console.error(
      `pack: previous table sha256:${x64.previous.sha256}, verifying ${x64.previous.rotated.length} rotated ` +
        `combination(s) until ${x64.previous.until}`,
    );
  }
}

if (require.main === module) main();

module.exports = { packedPackageJson, packVersionTag, packOptions, checkDestination };
