'use strict';

// What the encoder shares with the module's build: the token mask, the
// platform/user-type vocabulary and the token bounds, and the digests of the
// public demo tokens that no custom table may hold. Both files ship with the
// package; a broken one is this installation's fault, not the input's.

const fs = require('node:fs');
const path = require('node:path');
const { packageFile } = require('../errors');

const SHARED_DIR = path.join(__dirname, '..', '..', 'shared');
const FORMAT_FILE = path.join(SHARED_DIR, 'table_format.json');
const PUBLIC_DIGESTS_FILE = path.join(SHARED_DIR, 'public_token_digests.json');

// Both files are read-only package data: read each once per process.
let cachedFormat;
let cachedPublicDigests;

const shown = (file) => path.relative(process.cwd(), file) || file;

// Every way either file can be broken (missing, unreadable, not JSON, not the
// shape shipped) is one kind of error: ERR_HEADER_VALIDATOR_LOAD, naming the file.
function readPackageJson(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw packageFile(shown(file), err.code === 'ENOENT' ? 'it is missing' : `it cannot be read (${err.code})`, err);
  }
  try {
    return JSON.parse(text);
  } catch (err) {
    throw packageFile(shown(file), 'it is not valid JSON', err);
  }
}

/** Mask, vocabulary and token bounds, shared with the module's build. */
function loadFormat() {
  if (cachedFormat) return cachedFormat;
  const raw = readPackageJson(FORMAT_FILE);
  const bad = (what) => packageFile(shown(FORMAT_FILE), what);

  if (raw === null || typeof raw !== 'object') throw bad('it must be a JSON object');
  if (typeof raw.tokenMask !== 'string' || !/^0x[0-9A-Fa-f]{2}$/.test(raw.tokenMask)) {
    throw bad('tokenMask must be one byte written as "0xHH"');
  }
  const platforms = new Map();
  if (raw.platforms === null || typeof raw.platforms !== 'object' || Array.isArray(raw.platforms)) {
    throw bad('platforms must map platform names to lists of user types');
  }
  for (const [platform, userTypes] of Object.entries(raw.platforms)) {
    if (!Array.isArray(userTypes) || !userTypes.every((u) => typeof u === 'string' && u !== '')) {
      throw bad(`platforms.${platform} must be a list of user-type names`);
    }
    platforms.set(platform, userTypes);
  }
  const { min, max } = raw.tokenBytes ?? {};
  if (!Number.isInteger(min) || !Number.isInteger(max) || min < 1 || max < min) {
    throw bad('tokenBytes must give integer bounds {min, max} with 1 <= min <= max');
  }
  cachedFormat = { mask: Number.parseInt(raw.tokenMask.slice(2), 16), platforms, min, max };
  return cachedFormat;
}

/** SHA-256 digests (hex) of the public demo tokens, which anyone can read. */
function loadPublicDigests() {
  if (cachedPublicDigests) return cachedPublicDigests;
  const { sha256 } = readPackageJson(PUBLIC_DIGESTS_FILE) ?? {};
  // An empty or mangled list would let every demo token through.
  if (!Array.isArray(sha256) || sha256.length === 0 || !sha256.every((d) => /^[0-9a-f]{64}$/.test(d))) {
    throw packageFile(
      shown(PUBLIC_DIGESTS_FILE),
      'sha256 must be a non-empty list of SHA-256 digests in lowercase hex',
    );
  }
  cachedPublicDigests = new Set(sha256);
  return cachedPublicDigests;
}

module.exports = { loadFormat, loadPublicDigests, FORMAT_FILE, PUBLIC_DIGESTS_FILE };
