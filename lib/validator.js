'use strict';

// Validators: the native functions as they are, plus Promise versions that run
// on a pool of worker threads (pool.js) so that bcrypt never blocks the event
// loop, with a cache of checked results in front of the pool. This file routes
// each call (answered here when it cannot hash, from the cache, or on the
// pool) and counts them.

const { validateRequestArgumentsError, generateAuthCodeArgumentsError } = require('./arguments');
const { hashableAuthCode } = require('./auth-code-rules');
const errors = require('./errors');
const { checkOptionsObject, checkNames } = require('./options');
const { readPoolOptions, createPool } = require('./pool');
const { readCacheOptions, createResultCache } = require('./result-cache');
const { longestNameBytes, hasCombination } = require('./table-info');

const OPTION_NAMES = new Set(['threads', 'maxQueue', 'cache']);

function readOptions(options) {
  checkOptionsObject(options, 'createValidator');
  checkNames(options, OPTION_NAMES, 'createValidator');
  return { pool: readPoolOptions(options), cache: readCacheOptions(options.cache) };
}

// Whether the native function could hash for these names: only for a
// combination the table has a place for. It refuses any other from its lookup,
// in about a microsecond. Lengths first, so that a huge name is never hashed
// into a map lookup.
function namesCanHash(longestName, [platform, userType, host]) {
  if (platform.length > longestName || userType.length > longestName || host.length > longestName) return false;
  return hasCombination(host, platform, userType);
}

function answerHere(fn, args) {
  try {
    return Promise.resolve(fn(...args));
  } catch (err) {
    return Promise.reject(err);
  }
}

/**
 * @param {{ threads?: number, maxQueue?: number,
 *   cache?: false | { valid?: number, invalid?: number, ttl?: number, invalidTtl?: number } }}
 *   [options] threads: pool size, 1 to 256 (default: one per available core); maxQueue: calls that may wait for a
 *   thread (default: 16 per thread); cache: bounds and expiry of the result cache, or false for none
 */
function createValidator(options = {}) {
  const { pool: poolOptions, cache: cacheOptions } = readOptions(options);
  // The module is loaded here as well, so that a broken build fails at once.
  const { validateRequest, generateAuthCode } = require('./native').load();
  const longestName = longestNameBytes();
  const cache = cacheOptions ? createResultCache(cacheOptions) : undefined;
  const pool = createPool(poolOptions);
  const counts = { calls: 0, cacheHits: 0, coalesced: 0, bcryptChecks: 0, refusedWithoutHashing: 0, shed: 0 };

  function shed() {
    counts.shed++;
    return Promise.reject(errors.overloaded());
  }

  function check(args) {
    const task = pool.run('validateRequest', args);
    if (task === undefined) return shed();
    counts.bcryptChecks++;
    return task;
  }

  // Only a check that would hash gets here. The same tuple checked before
  // answers from the cache; one in flight is shared, without a queue slot.
  function checkThroughCache(args) {
    const key = cache.keyOf(args);
    const known = cache.get(key);
    if (known !== undefined) {
      counts.cacheHits++;
      return Promise.resolve(known);
    }
    const pending = cache.inFlight(key);
    if (pending !== undefined) {
      counts.coalesced++;
      return pending;
    }
    const task = pool.run('validateRequest', args);
    if (task === undefined) return shed();
    counts.bcryptChecks++;
    return cache.share(key, task);
  }

  return Object.freeze({
    validateRequest,
    generateAuthCode,
    validateRequestAsync(...args) {
      counts.calls++;
      const error = validateRequestArgumentsError(args);
      if (error) return Promise.reject(error);
      if (pool.isClosed()) return Promise.reject(errors.closed());
      // A call that cannot hash is answered here, in microseconds, by the
      // native function, which also writes its lookup's line; hashing belongs
      // on the pool.
      if (!hashableAuthCode(args[0]) || !namesCanHash(longestName, args.slice(1))) {
        counts.refusedWithoutHashing++;
        return answerHere(validateRequest, args);
      }
      return cache ? checkThroughCache(args) : check(args);
    },
    generateAuthCodeAsync(...args) {
      const error = generateAuthCodeArgumentsError(args);
      if (error) return Promise.reject(error);
      if (pool.isClosed()) return Promise.reject(errors.closed());
      if (!namesCanHash(longestName, args)) return answerHere(generateAuthCode, args);
      return pool.run('generateAuthCode', args) ?? shed();
    },
    /** Counters since the validator was made, and the pool's load now. */
    stats() {
      const sizes = cache?.sizes() ?? { valid: 0, invalid: 0 };
      return {
        ...counts,
        ...pool.load(),
        cachedValid: sizes.valid,
        cachedInvalid: sizes.invalid,
      };
    },
    /** Lets accepted calls finish, then stops the threads; later calls reject. */
    close: () => pool.close(),
  });
}

module.exports = { createValidator };
