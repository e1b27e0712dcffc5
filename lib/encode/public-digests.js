'use strict';

// The digests of the public demo tokens, which no custom table may hold:
// this side's one reader of shared/public_token_digests.json. The file ships
// with the package; a broken one is this installation's fault, not the input's.

const path = require('node:path');
const { readPackageJson, brokenPackageFile } = require('./package-json');

const PUBLIC_DIGESTS_FILE = path.join(__dirname, '..', '..', 'shared', 'public_token_digests.json');

// Read-only package data: read once per process.
let cached;

/** SHA-256 digests (hex) of the public demo tokens, which anyone can read. */
function loadPublicDigests() {
  if (cached) return cached;
  const { sha256 } = readPackageJson(PUBLIC_DIGESTS_FILE) ?? {};
  // An empty or mangled list would let every demo token through.
  if (!Array.isArray(sha256) || sha256.length === 0 || !sha256.every((d) => /^[0-9a-f]{64}$/.test(d))) {
    throw brokenPackageFile(PUBLIC_DIGESTS_FILE, 'sha256 must be a non-empty list of SHA-256 digests in lowercase hex');
  }
  cached = new Set(sha256);
  return cached;
}

module.exports = { loadPublicDigests, PUBLIC_DIGESTS_FILE };
