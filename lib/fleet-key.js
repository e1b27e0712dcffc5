'use strict';

// The build's fleet key: the file's one reader. The build derives it from the
// encoded table's own bytes (tools/table-manifest) and writes it beside the
// module, so that every table gets a fresh key, processes of one build share
// it, and no operator has another secret to manage. It keys and authenticates
// the shared cache of checked results (shared-cache.js), and is never put in
// tableInfo(), a log or an error message.

const fs = require('node:fs');
const path = require('node:path');
const { located } = require('./native/locate');
const { manifestError } = require('./errors');

const FLEET_KEY_FILE = 'header_validator.fleet-key';
const FLEET_KEY_PATH = path.join(located.dir, FLEET_KEY_FILE);
// 32 bytes in lowercase hex, and the newline the build ends it with.
const FORMAT = /^[0-9a-f]{64}\n?$/;

// The file cannot change while the process runs: read once.
let cached;

/**
 * The fleet key of the build this process loads, as a new Buffer of 32 bytes;
 * throws a load error (naming the file, never its content) when it is missing
 * or not as the build writes it.
 * @param {string} [keyPath] for tests only: another build's key file
 */
function readFleetKey(keyPath = FLEET_KEY_PATH) {
  if (keyPath === FLEET_KEY_PATH && cached) return Buffer.from(cached);
  let text;
  try {
    text = fs.readFileSync(keyPath, 'latin1');
  } catch (err) {
    const why = err.code === 'ENOENT' ? 'it is missing (rebuild with `npm run build`)' : `${err.code ?? 'error'}`;
    throw manifestError(`cannot read the fleet key ${keyPath}: ${why}`, err);
  }
  if (!FORMAT.test(text)) throw manifestError(`the fleet key ${keyPath} is not one the build writes`);
  const key = Buffer.from(text.slice(0, 64), 'hex');
  if (keyPath === FLEET_KEY_PATH) cached = Buffer.from(key);
  return key;
}

module.exports = { readFleetKey, FLEET_KEY_FILE };
