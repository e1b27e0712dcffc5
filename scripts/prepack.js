#!/usr/bin/env node
'use strict';
// Runs before `npm pack` packs anything. npm runs prepack before prepare, so
// this builds first (with HEADER_VALIDATOR_TABLE, if set), then checks what is
// about to be shipped: a build with the public demo table is refused unless
// HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 asks for it.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const manifestPath = path.join(root, 'build', 'Release', 'header_validator.manifest.json');

const built = spawnSync(process.execPath, [path.join(__dirname, 'build.js')], { cwd: root, stdio: 'inherit' });
if (built.status !== 0) process.exit(built.status ?? 1);

const manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
if (manifest.demo && process.env.HEADER_VALIDATOR_ALLOW_DEMO_PACK !== '1') {
  console.error(
    'prepack: refusing to pack a build with the public demo token table: anyone can make valid codes for it.\n' +
      'prepack: pack your own build with HEADER_VALIDATOR_TABLE=/abs/path/table.json npm pack\n' +
      'prepack: (for a throwaway test package only: HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 npm pack)',
  );
  process.exit(1);
}
if (manifest.undecodableLeaves > 0) {
  console.error(
    `prepack: warning: ${manifest.undecodableLeaves} combination(s) of this table cannot be decoded; every code ` +
      `for them is refused`,
  );
}
console.error(`prepack: packing the ${manifest.demo ? 'DEMO' : 'custom'} table build, sha256:${manifest.sha256}`);
