'use strict';

// The package's JavaScript layer beside the rotation test pair of modules
// (test/tables: a current table and the table it replaces), laid out as a
// build with a previous table lays them out, with the manifest and fleet key
// that the build's table check writes for an overlap ending at `until`. For
// the tests and benchmarks of a rotation; the caller removes `dir`.
//
// rotation.example: WEB/USER rotated, IOS/USER unchanged, IOS/STORE added,
// ANDROID/USER removed (refused), ANDROID/STORE unchanged (its previous leaf
// cannot be decoded). The tokens are public and test-only.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const ROOT = path.join(__dirname, '..', '..');
const BUILD = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(ROOT, 'build');
const TABLES = path.join(ROOT, 'test', 'tables');
const tokens = require('../tables/rotation.tokens.json');

/**
 * @param {string} until the end of the overlap, an ISO 8601 UTC instant after now
 * @returns {{ dir: string, host: string, tokens: object, manifest: object }}
 */
function rotationPackage(until) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-rotation-'));
  for (const sub of ['lib', 'shared', 'bin']) fs.cpSync(path.join(ROOT, sub), path.join(dir, sub), { recursive: true });
  fs.symlinkSync(path.join(ROOT, 'node_modules'), path.join(dir, 'node_modules'));
  const release = path.join(dir, 'build', 'Release');
  fs.mkdirSync(release, { recursive: true });
  for (const file of ['header_validator.node', 'header_validator_previous.node']) {
    fs.symlinkSync(path.join(BUILD, 'test-modules', 'rotation', file), path.join(release, file));
  }
  const manifestPath = path.join(release, 'header_validator.manifest.json');
  const check = spawnSync(
    path.join(BUILD, 'table_manifest'),
    [
      path.join(TABLES, 'rotation-current.json'),
      path.join(ROOT, 'shared', 'table_format.json'),
      path.join(ROOT, 'src', 'tokens', 'token_table.json'),
      path.join(ROOT, 'shared', 'public_token_digests.json'),
      manifestPath,
      '--fleet-key',
      path.join(release, 'header_validator.fleet-key'),
      '--previous',
      path.join(TABLES, 'rotation-previous.json'),
      until,
    ],
    { encoding: 'utf8' },
  );
  if (check.status !== 0) throw new Error(`the table check failed: ${check.stderr}`);
  return { dir, host: tokens.host, tokens, manifest: JSON.parse(fs.readFileSync(manifestPath, 'utf8')) };
}

module.exports = { rotationPackage };
