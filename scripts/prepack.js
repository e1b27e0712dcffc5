#!/usr/bin/env node
'use strict';
// Runs before `npm pack` packs anything. npm runs prepack before prepare, so
// this builds first (with HEADER_VALIDATOR_TABLE, if set), then checks what is
// about to be shipped: a build with the public demo table, or with any public
// demo token in a custom table, is refused unless
// HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 asks for it.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const manifestPath = path.join(root, 'build', 'Release', 'header_validator.manifest.json');

const THROWAWAY = 'prepack: (for a throwaway test package only: HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 npm pack)';

/**
 * Why the build described by `manifest` must not be packed, or '' when it may.
 * @param {{demo: boolean, demoTokenLeaves?: number}} manifest
 * @param {Record<string, string | undefined>} env
 */
function packRefusal(manifest, env) {
  if (env.HEADER_VALIDATOR_ALLOW_DEMO_PACK === '1') return '';
  if (manifest.demo) {
    return [
      'prepack: refusing to pack a build with the public demo token table: anyone can make valid codes for it.',
      'prepack: pack your own build with HEADER_VALIDATOR_TABLE=/abs/path/table.json npm pack',
      THROWAWAY,
    ].join('\n');
  }
  const count = manifest.demoTokenLeaves;
  // A manifest that does not say is treated as the worst case.
  if (!Number.isInteger(count) || count !== 0) {
    const what = Number.isInteger(count) ? `${count} combination(s)` : 'an unknown number of combinations';
    return [
      `prepack: refusing to pack a build whose table holds public demo tokens at ${what} (the build's ` +
        'warnings name them): anyone can make valid codes for them.',
      'prepack: encode your table from tokens of your own (header-validator encode), rebuild and pack again',
      THROWAWAY,
    ].join('\n');
  }
  return '';
}

function main() {
  const built = spawnSync(process.execPath, [path.join(__dirname, 'build.js')], { cwd: root, stdio: 'inherit' });
  if (built.status !== 0) process.exit(built.status ?? 1);

  const manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
  const refusal = packRefusal(manifest, process.env);
  if (refusal) {
    console.error(refusal);
    process.exit(1);
  }
  if (manifest.undecodableLeaves > 0) {
    console.error(
      `prepack: warning: ${manifest.undecodableLeaves} combination(s) of this table cannot be decoded; every code ` +
        `for them is refused`,
    );
  }
  console.error(`prepack: packing the ${manifest.demo ? 'DEMO' : 'custom'} table build, sha256:${manifest.sha256}`);
}

module.exports = { packRefusal };

if (require.main === module) main();
