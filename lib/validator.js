'use strict';

// Validators: the native functions as they are, plus Promise versions that run
// on a pool of worker threads (pool.js) so that bcrypt never blocks the event
// loop, with a cache of checked results in front of the pool and, when the
// application gives a Redis client, the fleet's shared level between the two
// (shared-cache.js). This file routes each check (answered here when it cannot
// hash, from the cache, from Redis, or on the pool), and reports each one once
// (check-report.js), whether validateRequestAsync or the middleware made it.
// During a token rotation (rotation.js) a check on the pool also tries the
// combination's previous token, and the answer says which token matched; the
// synchronous functions stay the current table's alone.

const { validateRequestArgumentsError, generateAuthCodeArgumentsError } = require('./arguments');
const { hashableAuthCode, AUTH_CODE_LENGTH } = require('./auth-code-rules');
const { VALID, REFUSED, verdictOf, failure } = require('./check-answer');
const { MESSAGE_NAME_LIMIT, checkStart, createCheckCounters, snapshot, reportCheck } = require('./check-report');
const errors = require('./errors');
const { checkOptionsObject, checkNames, checkBoolean } = require('./options');
const { readPoolOptions, createPool } = require('./pool');
const { readCacheOptions, createResultCache } = require('./result-cache');
const { createRotation, previousSwitchOn } = require('./rotation');
const { longestNameBytes, hasCombination } = require('./table-info');

const OPTION_NAMES = new Set(['threads', 'maxQueue', 'cache', 'nativeDiagnostics', 'previous', 'redis']);

/**
 * The validator's own check, shared by validateRequestAsync and the middleware:
 * (authCode, platform, userType, host) of four strings to an answer of
 * check-answer.js, or a Promise of one; it never throws or rejects (a failure
 * is an answer that holds its error). Not reported: the caller reports it.
 */
const CHECK = Symbol('header-validator check');
/** Counts and publishes a finished check: (answer, host, platform, userType, start from checkStart). */
const REPORT = Symbol('header-validator report');

function readOptions(options) {
  checkOptionsObject(options, 'createValidator');
  checkNames(options, OPTION_NAMES, 'createValidator');
  const { nativeDiagnostics = true, previous = true } = options;
  checkBoolean(nativeDiagnostics, 'createValidator', 'nativeDiagnostics');
  checkBoolean(previous, 'createValidator', 'previous');
  return {
    pool: readPoolOptions(options),
    cache: readCacheOptions(options.cache),
    nativeDiagnostics,
    redis: options.redis === undefined ? undefined : readSharedLevelOptions(options.redis),
    // The environment's switch retires the previous table for every validator of the process.
    retired: !previousSwitchOn() || !previous,
  };
}

// Loaded only for a validator with a Redis client: it never loads a Redis library.
function readSharedLevelOptions(redis) {
  return require('./shared-cache').readSharedCacheOptions(redis, 'createValidator', 'redis');
}

/**
 * @param {{ threads?: number, maxQueue?: number,
 *   cache?: false | { valid?: number, invalid?: number, ttl?: number, invalidTtl?: number },
 *   nativeDiagnostics?: boolean, previous?: boolean, redis?: object }}
 *   [options] threads: pool size, 1 to 256 (default: one per available core); maxQueue: calls that may wait for a
 *   thread (default: 16 per thread); cache: bounds and expiry of the result cache, or false for none;
 *   nativeDiagnostics: false answers unknown names here instead of through the native function, which writes a
 *   line to standard error for each (default true); previous: false refuses codes of the build's previous
 *   tokens before the end of their overlap (default true; HEADER_VALIDATOR_PREVIOUS=off does it for every
 *   validator); redis: the fleet's shared level behind the cache,
 *   { client, secret?, prefix?, ttl?, timeoutMs?, backoffMs?, lock? } (docs/operations.md, "Scaling out")
 * @param {{ clock?: { now(): number } }} [internal] for tests only: clock, the time in milliseconds since the epoch
 *   that the end of a rotation's overlap is checked against
 */
function createValidator(options = {}, { clock } = {}) {
  const { pool: poolOptions, cache: cacheOptions, nativeDiagnostics, retired, redis } = readOptions(options);
  // The modules are loaded (or found) here as well, so that a broken build fails at once.
  const native = require('./native');
  const { validateRequest, generateAuthCode } = native.load();
  if (!retired) native.checkPreviousPresent();
  const rotation = createRotation({ retired, clock });
  const longestName = longestNameBytes();
  const messageNameLimit = Math.max(MESSAGE_NAME_LIMIT, longestName);
  const cache = cacheOptions ? createResultCache(cacheOptions) : undefined;
  // The fleet key is read here, so that a build without one fails at once.
  const shared = redis ? require('./shared-cache').sharedCacheOf(redis) : undefined;
  const pool = createPool(poolOptions);
  const counters = createCheckCounters();
  // Checks waiting on the shared level (and on the hash it may ask for): close() lets them finish.
  const sharedInFlight = new Set();
  let closing;
  const isClosed = () => closing !== undefined;

  // A name with more UTF-16 units than the table's longest name has in UTF-8
  // bytes names nothing in it: lengths first, so that a huge name is never
  // hashed into a map lookup.
  const namesFit = (platform, userType, host) =>
    platform.length <= longestName && userType.length <= longestName && host.length <= longestName;

  // Why the native function would refuse this check without hashing, or
  // undefined when it would hash. Its lookup comes first, then the code.
  function refusalReason(authCode, platform, userType, host) {
    if (!namesFit(platform, userType, host) || !hasCombination(host, platform, userType)) {
      return 'unknown-combination';
    }
    return hashableAuthCode(authCode) ? undefined : 'malformed-code';
  }

  // A refusal answered on the calling thread, in about a microsecond. By
  // default the native function answers it, and writes its lookup's line for
  // unknown names; without native diagnostics it is answered here.
  function refuseHere(reason, authCode, platform, userType, host) {
    if (!nativeDiagnostics) return REFUSED[reason].none;
    try {
      return validateRequest(authCode, platform, userType, host) === true ? VALID.none : REFUSED[reason].none;
    } catch (err) {
      return failure(err, 'none');
    }
  }

  // A match with a previous token is valid only while that token is accepted:
  // checked again when the answer arrives, so that a check queued before the
  // end of the overlap and answered after it is refused.
  // Only a rotated combination's code ever matched a previous token.
  const stillHolds = (verdict) => verdict.token !== 'previous' || rotation.previousAccepted();

  /**
   * The check on the pool, for the tokens `accepted` (from acceptedTokens): a
   * Promise of a verdict of check-answer.js (with `token`), or undefined when
   * shed. Rejects only with the pool's or the hash's error.
   */
  function hashCheck(authCode, platform, userType, host, accepted) {
    const previous = accepted.includes('previous');
    const task = pool.run('validateRequest', [authCode, platform, userType, host, previous]);
    if (task === undefined || !previous) return task?.then(verdictOf);
    return task.then((token) => {
      const verdict = verdictOf(token);
      return stillHolds(verdict) ? verdict : REFUSED.mismatch;
    });
  }

  const asMiss = (verdict) => verdict.miss;
  const asCoalesced = (verdict) => verdict.coalesced;
  const asUncached = (verdict) => verdict.none;
  const failedMiss = (err) => failure(err, 'miss');
  const failedCoalesced = (err) => failure(err, 'coalesced');
  const failedUncached = (err) => failure(err, 'none');

  function check(authCode, platform, userType, host) {
    if (isClosed()) return failure(errors.closed(), 'none');
    // A tuple the cache holds passed every check below before it was stored:
    // a re-sent code costs one digest and one lookup.
    let key;
    if (cache !== undefined && authCode.length === AUTH_CODE_LENGTH && namesFit(platform, userType, host)) {
      key = cache.keyOf(authCode, platform, userType, host);
      const known = cache.get(key);
      if (known !== undefined) {
        if (stillHolds(known)) return known.hit;
        // A match with a previous token no longer accepted: dropped, and checked again.
        cache.delete(key);
      }
      const pending = cache.inFlight(key);
      if (pending !== undefined) return pending.then(asCoalesced, failedCoalesced);
    }
    const refusal = refusalReason(authCode, platform, userType, host);
    if (refusal !== undefined) return refuseHere(refusal, authCode, platform, userType, host);
    if (shared !== undefined) return checkShared(key, [authCode, platform, userType, host]);
    // Hashing belongs on the pool; one in flight for the same tuple is shared.
    const task = hashCheck(authCode, platform, userType, host, rotation.acceptedTokens(host, platform, userType));
    if (task === undefined) return failure(errors.overloaded(), cache === undefined ? 'none' : 'miss');
    counters.bcryptChecks++;
    if (cache === undefined) return task.then(asUncached, failedUncached);
    return cache.share(key, task).then(asMiss, failedMiss);
  }

  // A hash on the pool for the tokens accepted, as a verdict; it rejects as
  // overloaded when the pool is full.
  function hashOnPool([authCode, platform, userType, host], accepted) {
    const task = hashCheck(authCode, platform, userType, host, accepted);
    if (task === undefined) return Promise.reject(errors.overloaded());
    counters.bcryptChecks++;
    return task;
  }

  // The shared level's answer, { valid, token }, as a verdict. An answer about
  // a token not accepted for this combination, when the check started and now,
  // is none this validator gives: the caller hashes instead.
  function verdictOfShared({ valid, token }, accepted) {
    if (valid === false) return REFUSED.mismatch;
    const verdict = valid === true && accepted.includes(token) ? verdictOf(token) : undefined;
    if (verdict === undefined || !stillHolds(verdict)) {
      throw new TypeError(`header-validator: the shared level answered for a token not accepted (${String(token)})`);
    }
    return verdict;
  }

  // Asks the shared level, which answers from Redis or asks for the hash;
  // one check of a tuple at a time from this process (the cache coalesces the
  // others). Whatever the level does wrong, the answer is the hash's: it never
  // rejects but as the hash does, and stores nothing but a verdict.
  function checkShared(key, args) {
    const uncached = cache === undefined ? 'none' : 'miss';
    // A full pool sheds at once, as without the level: a flood is not passed on to Redis.
    if (!pool.hasRoom()) return failure(errors.overloaded(), uncached);
    const [, platform, userType, host] = args;
    const accepted = rotation.acceptedTokens(host, platform, userType);
    let hashed;
    const hash = () => {
      hashed ??= hashOnPool(args, accepted);
      return hashed.then((verdict) => ({ valid: verdict.valid, token: verdict.token ?? undefined }));
    };
    const answer = Promise.resolve()
      .then(() => shared.check(args, accepted, hash))
      .then((answered) => hashed ?? verdictOfShared(answered, accepted))
      // Only the hash's own failure is the check's: any other of the level's is a hash here.
      .catch(() => (hashed ??= hashOnPool(args, accepted)));
    sharedInFlight.add(answer);
    const forget = () => sharedInFlight.delete(answer);
    answer.then(forget, forget);
    const settled = cache === undefined ? answer : cache.share(key, answer);
    return settled.then(
      (verdict) => (hashed === undefined ? verdict.shared : verdict[uncached]),
      (err) => failure(err, uncached),
    );
  }

  function report(answer, host, platform, userType, start) {
    if (answer.token === 'previous') rotation.record(host, platform, userType);
    reportCheck(counters, messageNameLimit, answer, host, platform, userType, start);
  }

  function settle(answer, host, platform, userType, start) {
    report(answer, host, platform, userType, start);
    if (answer.error !== undefined) throw answer.error;
    return answer.valid;
  }

  function validateRequestAsync(...args) {
    const error = validateRequestArgumentsError(args);
    if (error) return Promise.reject(error);
    const [authCode, platform, userType, host] = args;
    const start = checkStart();
    const answer = check(authCode, platform, userType, host);
    if (answer instanceof Promise) return answer.then((done) => settle(done, host, platform, userType, start));
    report(answer, host, platform, userType, start);
    return answer.error === undefined ? Promise.resolve(answer.valid) : Promise.reject(answer.error);
  }

  function generateAuthCodeAsync(...args) {
    const error = generateAuthCodeArgumentsError(args);
    if (error) return Promise.reject(error);
    if (isClosed()) return Promise.reject(errors.closed());
    const [platform, userType, host] = args;
    if (!namesFit(platform, userType, host) || !hasCombination(host, platform, userType)) {
      if (!nativeDiagnostics) return Promise.resolve(null);
      try {
        return Promise.resolve(generateAuthCode(...args));
      } catch (err) {
        return Promise.reject(err);
      }
    }
    return pool.run('generateAuthCode', args) ?? Promise.reject(errors.overloaded());
  }

  const validator = {
    validateRequest,
    generateAuthCode,
    validateRequestAsync,
    generateAuthCodeAsync,
    /**
     * Counters since the validator was made (with the shared level's, as counters.shared, when it has one), and
     * gauges of its pool and cache now.
     */
    stats() {
      const sizes = cache?.sizes() ?? { valid: 0, invalid: 0 };
      const { inFlight, queued } = pool.load();
      const gauges = { inFlight, queued, cachedValid: sizes.valid, cachedInvalid: sizes.invalid };
      const counted = snapshot(counters);
      if (shared !== undefined) counted.shared = shared.counts();
      return withFormerNames({ counters: counted, gauges });
    },
    /**
     * The token rotation as this validator sees it: the end of the overlap, whether codes of previous tokens
     * are accepted now, and per rotated combination when one last validated here (or null).
     */
    rotation: () => rotation.status(),
    /**
     * Lets accepted calls finish (those waiting on Redis included) and the answers they store in Redis be
     * written, then stops the threads; later calls reject. The Redis client is the application's, and stays open.
     */
    close: () =>
      (closing ??= Promise.allSettled([...sharedInFlight])
        .then(() => shared?.writesDone())
        .then(() => pool.close())),
  };
  Object.defineProperties(validator, { [CHECK]: { value: check }, [REPORT]: { value: report } });
  return Object.freeze(validator);
}

const sum = (counts) => Object.values(counts).reduce((total, n) => total + n, 0);

// The flat names stats() had before it kept counters and gauges apart, for
// code written against them: not enumerable, so that they stay out of JSON
// and of anything that walks the object. Deprecated.
function withFormerNames(stats) {
  const { counters, gauges } = stats;
  const former = {
    calls: counters.valid + sum(counters.invalid) + sum(counters.shed) + sum(counters.error),
    cacheHits: counters.cacheHits,
    coalesced: counters.coalesced,
    bcryptChecks: counters.bcryptChecks,
    refusedWithoutHashing: counters.invalid['unknown-combination'] + counters.invalid['malformed-code'],
    shed: counters.shed.overloaded,
    ...gauges,
  };
  for (const [name, value] of Object.entries(former)) Object.defineProperty(stats, name, { value });
  return stats;
}

module.exports = { createValidator, CHECK, REPORT };
