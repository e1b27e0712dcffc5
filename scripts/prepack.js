#!/usr/bin/env node
'use strict';
// Checks what is about to be shipped, once for each architecture's build:
// `npm run package` (scripts/pack.js) builds them and runs this on each manifest
// (HEADER_VALIDATOR_PACK_MANIFEST). A build with the public demo table is
// refused unless HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 asks for it. As npm's
// prepack hook, it stops a plain `npm pack`, which would pack neither build.

const fs = require('node:fs');

const manifestPath = process.env.HEADER_VALIDATOR_PACK_MANIFEST;
if (!manifestPath) {
  console.error(
    'prepack: pack with `npm run package`: it builds linux-x64 and linux-arm64 and names the file after the table',
  );
  process.exit(1);
}

const manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
if (manifest.demo && process.env.HEADER_VALIDATOR_ALLOW_DEMO_PACK !== '1') {
  console.error(
    'prepack: refusing to pack a build with the public demo token table: anyone can make valid codes for it.\n' +
      'prepack: pack your own build with HEADER_VALIDATOR_TABLE=/abs/path/table.json npm run package\n' +
      'prepack: (for a throwaway test package only: HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 npm run package)',
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
