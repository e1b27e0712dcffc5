'use strict';

// Results of checks that ran bcrypt, kept so that a client re-sending its code
// is answered without hashing again, and checks of one tuple in flight at once,
// so that a burst of the same new code costs one hash.
//
// validateRequest is a pure function of its four arguments and of the table
// compiled into the module, which never changes inside a process: a stored
// answer is the answer a fresh check would give, and needs no expiry to stay
// right. The one exception is a match with a previous token, which holds only
// until the end of its overlap: the validator checks that on every hit. Only
// answers are stored: a check that could not hash rejects, and is never taken
// for "invalid". Invalid answers still expire (after a minute by
// default): a wrong code is rarely sent for long, so an old entry only ever
// holds garbage.
//
// Valid and invalid answers live in separate buckets, each least recently
// used first out, so that a spray of wrong codes only ever evicts wrong codes.
// An answer is a verdict (check-answer.js), which says whether it is valid.
// Entries are keyed by a SHA-256 digest of the four arguments, never the code
// itself, so that a heap dump holds no bearer code.

const { checkObject, checkNames, checkInteger, checkMilliseconds } = require('./options');
const { encodeTuple } = require('./tuple-encoding');

// The valid bound is sized against a token holder flooding it with cheap
// cost-4 codes: about 40 s of a 2-thread pool's work to cycle it (docs/api.md,
// "The cache of checked results").
const DEFAULTS = Object.freeze({ valid: 100_000, invalid: 1_000, ttl: 0, invalidTtl: 60_000 });
// The LRU library allocates its index arrays for the whole bound up front.
const MAX_ENTRIES = 1_000_000;
const OPTION_NAMES = new Set(Object.keys(DEFAULTS));

const NAMES_TEXT = [...OPTION_NAMES].join(', ');
// Starts the keys of tuples with a lone surrogate: no UTF-8 text starts with 0xFF.
const LONE_SURROGATE_TAG = Buffer.from([0xff]);

/**
 * Checks createValidator's `cache` option: false, or { valid, invalid, ttl, invalidTtl }.
 * @returns {false | { valid: number, invalid: number, ttl: number, invalidTtl: number }}
 */
function readCacheOptions(cache) {
  if (cache === undefined) return DEFAULTS;
  if (cache === false) return false;
  checkObject(cache, 'createValidator', 'cache', `false or an object { ${NAMES_TEXT} }`);
  checkNames(cache, OPTION_NAMES, 'createValidator', { kind: 'cache', listed: true });
  const settings = { ...DEFAULTS, ...cache };
  for (const bucket of ['valid', 'invalid']) {
    checkInteger(settings[bucket], 'createValidator', `cache.${bucket}`, 1, MAX_ENTRIES);
  }
  for (const [name, entries] of [
    ['ttl', 'valid entries'],
    ['invalidTtl', 'invalid entries'],
  ]) {
    checkMilliseconds(settings[name], 'createValidator', `cache.${name}`, `${entries} never expire`);
  }
  return settings;
}

/**
 * @param {{ valid: number, invalid: number, ttl: number, invalidTtl: number }} settings from readCacheOptions
 * @param {{ now(): number }} [clock] for tests only: the time in milliseconds that expiry reads
 */
function createResultCache({ valid, invalid, ttl, invalidTtl }, clock) {
  // Loaded with the first cache, so that a process that never checks
  // asynchronously does not pay for them.
  const crypto = require('node:crypto');
  const { LRUCache } = require('lru-cache');
  // One call instead of three objects, where Node.js has it (20.12 and later).
  const sha256 = crypto.hash
    ? (data) => crypto.hash('sha256', data, 'base64')
    : (data) => crypto.createHash('sha256').update(data).digest('base64');
  // A clock given is read on every look: the library otherwise keeps one
  // reading for a millisecond of real time.
  const timing = clock ? { perf: clock, ttlResolution: 0 } : {};
  const bucketOptions = (max, expiry) => (expiry > 0 ? { max, ttl: expiry, ...timing } : { max });
  const validBucket = new LRUCache(bucketOptions(valid, ttl));
  const invalidBucket = new LRUCache(bucketOptions(invalid, invalidTtl));
  const inProgress = new Map();

  // Each argument behind its length, so that no two tuples share an encoding
  // however their characters are arranged. Hashed as UTF-8, which tells apart
  // every well-formed string; a string with a lone surrogate (which UTF-8
  // would turn into U+FFFD) is hashed as its UTF-16 units instead, behind a
  // byte that no UTF-8 encoding of the first form starts with.
  function keyOf(authCode, platform, userType, host) {
    if (authCode.isWellFormed() && platform.isWellFormed() && userType.isWellFormed() && host.isWellFormed()) {
      return sha256(
        `${authCode.length}:${authCode}${platform.length}:${platform}${userType.length}:${userType}` +
          `${host.length}:${host}`,
      );
    }
    return sha256(Buffer.concat([LONE_SURROGATE_TAG, encodeTuple([authCode, platform, userType, host])]));
  }

  return {
    keyOf,
    /** The stored verdict, or undefined. */
    get: (key) => validBucket.get(key) ?? invalidBucket.get(key),
    /** Drops a stored verdict that no longer holds (a match with a token no longer accepted). */
    delete: (key) => validBucket.delete(key),
    /** The check of this key in flight, or undefined. */
    inFlight: (key) => inProgress.get(key),
    /**
     * Shares a check that has been accepted by the pool with later callers of
     * the same key until it settles, then stores its verdict. Errors are
     * never stored: the next call checks again.
     */
    share(key, check) {
      const shared = check.then(
        (verdict) => {
          (verdict.valid === true ? validBucket : invalidBucket).set(key, verdict);
          inProgress.delete(key);
          return verdict;
        },
        (err) => {
          inProgress.delete(key);
          throw err;
        },
      );
      inProgress.set(key, shared);
      return shared;
    },
    sizes: () => ({ valid: validBucket.size, invalid: invalidBucket.size }),
  };
}

module.exports = { readCacheOptions, createResultCache, CACHE_DEFAULTS: DEFAULTS };
