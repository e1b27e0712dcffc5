'use strict';

// What the shared cache of checked results (shared-cache.js) writes to Redis,
// and how it tells its own entries from anything else found there. No I/O.
//
// Names: <prefix><keyspace>:<HMAC of the encoded four arguments>. The HMAC is
// keyed, so a dump of the store holds neither a code nor anything to test
// guesses against offline; the keyspace, a tag of the key itself, keeps the
// entries of different builds (or secrets) apart even on one server.
//
// Values: a small body (what was answered, for which tokens) followed by an
// HMAC over the entry's name and the body, under a second key: a value is
// authentic only under the name it was written for, and only a holder of the
// key can write one. Both keys, and the keyspace tag, come from the one
// secret by HMAC under distinct labels.

const crypto = require('node:crypto');
const { encodeTuple } = require('./tuple-encoding');

const LABELS = Object.freeze({
  names: 'header-validator shared cache names v1',
  values: 'header-validator shared cache values v1',
  keyspace: 'header-validator shared cache keyspace v1',
  secret: 'header-validator shared cache secret v1',
});
const VERSION = 1;
// What an entry says.
const KIND = Object.freeze({ invalid: 0, valid: 1, pending: 2 });
// The tokens an answer can be about, one bit each.
const TOKEN_BITS = Object.freeze({ current: 1, previous: 2 });
const MAC_BYTES = 32;
const NONCE_BYTES = 16;
// The longest value this file writes (a pending mark), in base64url characters.
const MAX_VALUE_LENGTH = Math.ceil(((3 + NONCE_BYTES + MAC_BYTES) * 4) / 3);

const hmac = (key, ...parts) => {
  const mac = crypto.createHmac('sha256', key);
  for (const part of parts) mac.update(part);
  return mac.digest();
};

function lengthPrefixed(text) {
  const bytes = Buffer.from(text, 'utf8');
  const length = Buffer.allocUnsafe(4);
  length.writeUInt32LE(bytes.length);
  return [length, bytes];
}

/**
 * The keys of one keyspace. With a secret of the team's own, the build's fleet
 * key still goes into them: two builds never share an entry, whatever secret.
 * @param {Buffer} fleetKey
 * @param {Buffer} [secret]
 */
function deriveKeys(fleetKey, secret) {
  const root = secret ? hmac(secret, LABELS.secret, fleetKey) : fleetKey;
  return {
    names: hmac(root, LABELS.names),
    values: hmac(root, LABELS.values),
    keyspace: hmac(root, LABELS.keyspace).toString('base64url').slice(0, 12),
  };
}

/** The name of the entry for these four arguments. */
const entryName = (keys, prefix, args) =>
  `${prefix}${keys.keyspace}:${hmac(keys.names, encodeTuple(args)).toString('base64url')}`;

function seal(keys, name, body) {
  return Buffer.concat([body, hmac(keys.values, ...lengthPrefixed(name), body)]).toString('base64url');
}

/** The value of an answer: valid for `tokens` (the one that matched), or invalid for all of `tokens`. */
const sealAnswer = (keys, name, valid, tokens) =>
  seal(keys, name, Buffer.from([VERSION, valid ? KIND.valid : KIND.invalid, tokens]));

/** A mark that a process of the fleet is hashing for this entry, unique to it. */
const sealPending = (keys, name) =>
  seal(keys, name, Buffer.concat([Buffer.from([VERSION, KIND.pending, 0]), crypto.randomBytes(NONCE_BYTES)]));

/**
 * What an authentic value says: { kind, tokens }, or undefined for anything
 * this build did not write under this name (another build's, moved from
 * another name, altered, or written by hand).
 * @param {unknown} value what the store returned
 */
function open(keys, name, value) {
  const text = Buffer.isBuffer(value) ? value.toString('latin1') : value;
  if (typeof text !== 'string' || text.length > MAX_VALUE_LENGTH) return undefined;
  const bytes = Buffer.from(text, 'base64url');
  // Only the one spelling this file writes: the decoder skips stray characters.
  if (bytes.length < 3 + MAC_BYTES || bytes.toString('base64url') !== text) return undefined;
  const body = bytes.subarray(0, bytes.length - MAC_BYTES);
  const expected = hmac(keys.values, ...lengthPrefixed(name), body);
  if (!crypto.timingSafeEqual(expected, bytes.subarray(body.length))) return undefined;
  const [version, kind, tokens] = body;
  const length = kind === KIND.pending ? 3 + NONCE_BYTES : 3;
  if (version !== VERSION || body.length !== length || !Object.values(KIND).includes(kind)) return undefined;
  return { kind, tokens };
}

module.exports = { KIND, TOKEN_BITS, deriveKeys, entryName, sealAnswer, sealPending, open };
