#!/usr/bin/env node
'use strict';

// Writes shared/public_token_digests.json: the SHA-256 of every public demo
// token in tokens/demo-tokens.json, sorted. The package carries these digests
// instead of the plain demo file, so that the encoder and the build's table
// check can recognise a demo token wherever it turns up in a custom table.
// Run it again whenever the demo tokens change.

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
// The file whose one reader the encoder uses.
const { PUBLIC_DIGESTS_FILE: DIGESTS } = require('../lib/encode/public-digests');

const DEMO_TOKENS = path.join(__dirname, '..', 'tokens', 'demo-tokens.json');

const DESCRIPTION =
  'SHA-256 (lowercase hex, of the UTF-8 bytes) of each public demo token in tokens/demo-tokens.json. The encoder ' +
  'refuses these tokens and the build fails on a custom table that holds one. Written by ' +
  'tools/public-token-digests.js; do not edit by hand.';

function digestsOf(plain) {
  const digests = new Set();
  for (const [host, platforms] of Object.entries(plain)) {
    for (const [platform, userTypes] of Object.entries(platforms)) {
      for (const [userType, token] of Object.entries(userTypes)) {
        if (typeof token !== 'string') throw new Error(`${host}/${platform}/${userType}: the token is not a string`);
        digests.add(crypto.createHash('sha256').update(token, 'utf8').digest('hex'));
      }
    }
  }
  return [...digests].sort();
}

if (require.main === module) {
  const digests = digestsOf(JSON.parse(fs.readFileSync(DEMO_TOKENS, 'utf8')));
  fs.writeFileSync(DIGESTS, `${JSON.stringify({ description: DESCRIPTION, sha256: digests }, null, 2)}\n`);
  process.stdout.write(`${path.relative(process.cwd(), DIGESTS)}: ${digests.length} digests\n`);
}
