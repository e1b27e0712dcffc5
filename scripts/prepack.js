#!/usr/bin/env node
'use strict';
// Checks what is about to be shipped, once for each architecture's build:
// `npm run package` (scripts/pack.js) builds them and runs this on each manifest
// (HEADER_VALIDATOR_PACK_MANIFEST). A build with the public demo table, or with
// any public demo token in a custom table, is refused unless
// HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE=1 asks for it. As npm's prepack
// hook, it stops a plain `npm pack`, which would pack neither build.

const { readManifest } = require('../lib/table-info');
const { DEMO_TOKEN_SWITCHES, demoSwitch } = require('../lib/demo-switches');

const THROWAWAY = `prepack: (for a throwaway test package only: ${DEMO_TOKEN_SWITCHES.package.name}=1 npm run package)`;

/**
 * Why the build described by `manifest` must not be packed, or '' when it may.
 * @param {{demo: boolean, demoTokenLeaves?: number, previous?: {demoTokenLeaves: number, until: string}}} manifest
 * @param {Record<string, string | undefined>} env
 */
function packRefusal(manifest, env) {
  if (demoSwitch('package', env).on) return '';
  if (manifest.demo) {
    return [
      'prepack: refusing to pack a build with the public demo token table: anyone can make valid codes for it.',
      'prepack: pack your own build with HEADER_VALIDATOR_TABLE=/abs/path/table.json npm run package',
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
  const previous = manifest.previous?.demoTokenLeaves;
  if (previous !== undefined && previous !== 0) {
    return [
      `prepack: refusing to pack a build whose previous table holds public demo tokens at ${previous} ` +
        "combination(s) (the build's warnings name them): anyone could make valid codes for them until " +
        `${manifest.previous.until}.`,
      'prepack: name the encoded table of the tokens you are replacing as HEADER_VALIDATOR_PREVIOUS_TABLE, rebuild ' +
        'and pack again',
      THROWAWAY,
    ].join('\n');
  }
  return '';
}

function main() {
  const manifestPath = process.env.HEADER_VALIDATOR_PACK_MANIFEST;
  if (!manifestPath) {
    console.error(
      'prepack: pack with `npm run package`: it builds linux-x64 and linux-arm64 and names the file after the table',
    );
    process.exit(1);
  }
  const { deprecation } = demoSwitch('package', process.env);
  if (deprecation) console.error(`prepack: warning: ${deprecation}`);
  const manifest = readManifest(manifestPath);
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
