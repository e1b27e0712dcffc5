'use strict';

// The shared level of the cache of checked results: answers kept in Redis (or
// Valkey) for a whole fleet of processes of one build, so that a new code costs
// one hash in all rather than one per process. It sits behind the in-process
// cache and in front of the pool: check() answers from the store, or runs the
// caller's hash and stores what it answered.
//
// - Entries are named and authenticated under the build's fleet key
//   (shared-entries.js): a party who can read or write the store, but lacks
//   the build, learns no code and can make no call validate.
// - One process of the fleet hashes a new tuple: the first to miss marks the
//   entry as pending (SET NX PX, on the entry's own key) and hashes; the others
//   poll for its answer, for a bounded time, then hash themselves. The mark
//   only saves hashes: a lost or forged mark costs a hash, never an answer.
// - The store failing never fails a call: every command has a time limit, and
//   an error or a timeout sends the call on to the hash, counted. After a
//   failure the store is left alone for a short back-off, then tried again.
// - Only single-key commands (GET, SET, and EVAL of a single-key script), so
//   Redis Cluster, Sentinel and Valkey work unchanged.
//
// The client is the application's: a connected node-redis client (v5 or
// later), or any object with its get, set and eval methods (docs: an adapter
// for ioredis). This file never loads a Redis library.

const { setTimeout: delay } = require('node:timers/promises');
const { checkRequiredOptions, checkObject, checkNames, checkInteger, optionError } = require('./options');
const { readFleetKey } = require('./fleet-key');
const { KIND, TOKEN_BITS, deriveKeys, entryName, sealAnswer, sealPending, open } = require('./shared-entries');

const WHERE = 'createSharedCache';
const DEFAULTS = Object.freeze({
  prefix: 'header-validator:',
  ttl: Object.freeze({ valid: 86_400_000, invalid: 60_000 }),
  timeoutMs: 50,
  backoffMs: 1_000,
  // Long enough for a cost-12 hash behind a full queue (16 calls a thread,
  // about a fifth of a second each): a waiter that gives up hashes too.
  lock: Object.freeze({ waitMs: 5_000, pollMs: 10 }),
});
const OPTION_NAMES = new Set(['client', 'secret', 'prefix', 'ttl', 'timeoutMs', 'backoffMs', 'lock']);
const TTL_NAMES = new Set(['valid', 'invalid']);
const LOCK_NAMES = new Set(['waitMs', 'pollMs']);
const CLIENT_METHODS = ['get', 'set', 'eval'];
const MIN_SECRET_BYTES = 32;
const MAX_TTL = 30 * 86_400_000;
// Printable ASCII without spaces: the prefix goes into every key name.
const PREFIX = /^[\x21-\x7e]{0,64}$/;
// Deletes the key only while it holds the value given, so that a process
// never deletes what another one has written since.
const DELETE_IF_UNCHANGED =
  "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end return 0";

const UNAVAILABLE = Symbol('unavailable');
const TIMED_OUT = new Error('timed out');

// Error texts name the options as the caller wrote them: createSharedCache's
// own, or createValidator's `redis` option and the names inside it.
function optionReader(where, group) {
  const name = (option) => (group ? `${group}.${option}` : option);
  const kind = (option) => [group, option].filter(Boolean).join('.') || undefined;

  function readSecret(secret) {
    if (secret === undefined) return undefined;
    const bytes = typeof secret === 'string' ? Buffer.from(secret, 'utf8') : secret;
    if (!(bytes instanceof Uint8Array) || bytes.length < MIN_SECRET_BYTES) {
      throw optionError(where, name('secret'), `must be a string or Buffer of at least ${MIN_SECRET_BYTES} bytes`);
    }
    return Buffer.from(bytes);
  }

  function readGroup(value, option, names, defaults) {
    if (value === undefined) return defaults;
    checkObject(value, where, name(option), `an object { ${[...names].join(', ')} }`);
    checkNames(value, names, where, { kind: kind(option), listed: true });
    return { ...defaults, ...value };
  }

  return { name, kind, readSecret, readGroup };
}

/**
 * Checks createSharedCache's options, or createValidator's `redis` option (where: 'createValidator', group:
 * 'redis'); the texts of its errors never hold a value given, the secret's least of all.
 * @returns {{ client: object, secret?: Buffer, prefix: string, ttl: { valid: number, invalid: number },
 *   timeoutMs: number, backoffMs: number, lock: { waitMs: number, pollMs: number } }}
 */
function readSharedCacheOptions(options, where = WHERE, group = undefined) {
  const { name, kind, readSecret, readGroup } = optionReader(where, group);
  if (group) checkObject(options, where, group, `an object { ${[...OPTION_NAMES].join(', ')} }`);
  else checkRequiredOptions(options, where, ['client']);
  checkNames(options, OPTION_NAMES, where, { kind: kind(), listed: true });
  const { client } = options;
  if (client === null || typeof client !== 'object' || CLIENT_METHODS.some((m) => typeof client[m] !== 'function')) {
    throw optionError(
      where,
      name('client'),
      `must be a connected node-redis client (v5 or later), or an object with its ${CLIENT_METHODS.join(', ')} methods`,
    );
  }
  const prefix = options.prefix ?? DEFAULTS.prefix;
  if (typeof prefix !== 'string' || !PREFIX.test(prefix)) {
    throw optionError(where, name('prefix'), 'must be up to 64 printable ASCII characters, without spaces');
  }
  const ttl = readGroup(options.ttl, 'ttl', TTL_NAMES, DEFAULTS.ttl);
  for (const bound of TTL_NAMES) checkInteger(ttl[bound], where, name(`ttl.${bound}`), 1, MAX_TTL);
  const timeoutMs = options.timeoutMs ?? DEFAULTS.timeoutMs;
  checkInteger(timeoutMs, where, name('timeoutMs'), 1, 10_000);
  const backoffMs = options.backoffMs ?? DEFAULTS.backoffMs;
  checkInteger(backoffMs, where, name('backoffMs'), 0, 600_000);
  const lock = readGroup(options.lock, 'lock', LOCK_NAMES, DEFAULTS.lock);
  checkInteger(lock.waitMs, where, name('lock.waitMs'), 1, 60_000);
  checkInteger(lock.pollMs, where, name('lock.pollMs'), 1, lock.waitMs);
  return { client, secret: readSecret(options.secret), prefix, ttl, timeoutMs, backoffMs, lock };
}

/** The tokens a call accepts, as bits; a TypeError for anything but a non-empty list of their names. */
function tokenBits(accepted) {
  if (!Array.isArray(accepted) || accepted.length === 0 || !accepted.every((t) => Object.hasOwn(TOKEN_BITS, t))) {
    throw new TypeError(`shared cache: accepted must list the tokens accepted: ${Object.keys(TOKEN_BITS).join(', ')}`);
  }
  return accepted.reduce((bits, token) => bits | TOKEN_BITS[token], 0);
}

const tokenOfBit = (bit) => Object.keys(TOKEN_BITS).find((token) => TOKEN_BITS[token] === bit);

/**
 * @param {object} options see readSharedCacheOptions and docs/operations.md, "Scaling out"
 * @param {{ fleetKey?: Buffer, clock?: { now(): number } }} [build] fleetKey: the build's (read from the file beside
 *   the module when not given); clock: for tests only, the time in milliseconds that the back-off reads
 */
const createSharedCache = (options, build) => sharedCacheOf(readSharedCacheOptions(options), build);

/** The level for options that readSharedCacheOptions has read; `build` as for createSharedCache. */
function sharedCacheOf(settings, { fleetKey, clock = performance } = {}) {
  const { client, secret, prefix, ttl, timeoutMs, backoffMs, lock } = settings;
  const keys = deriveKeys(fleetKey ?? readFleetKey(), secret);
  const counts = { hits: 0, misses: 0, unavailable: 0, lockWaits: 0, integrityFailures: 0, errors: 0 };
  let retryAt = -Infinity;

  const available = () => clock.now() >= retryAt;

  // One command: its reply, or UNAVAILABLE after an error, a timeout, or
  // during the back-off. Never throws, never waits longer than timeoutMs (and
  // one turn of the event loop).
  async function command(send) {
    if (!available()) return UNAVAILABLE;
    let timer;
    try {
      // After the loop was held up (a long task, a starved CPU), the timer runs
      // before the socket is read: the reply that came meanwhile is read first.
      const expired = new Promise((resolve, reject) => {
        timer = setTimeout(() => setImmediate(reject, TIMED_OUT), timeoutMs);
      });
      return await Promise.race([send(), expired]);
    } catch {
      counts.errors++;
      retryAt = clock.now() + backoffMs;
      return UNAVAILABLE;
    } finally {
      clearTimeout(timer);
    }
  }

  // Writes in flight, most of them not waited for by the check that made
  // them: close() waits for these, so that an application that closes the
  // validator, then its client, does not lose the last answers it stored.
  const writes = new Set();
  function write(send) {
    const done = command(send);
    writes.add(done);
    done.then(() => writes.delete(done));
    return done;
  }

  const set = (name, value, ms, condition) =>
    write(() => client.set(name, value, { expiration: { type: 'PX', value: ms }, ...(condition && { condition }) }));
  const deleteIfUnchanged = (name, value) =>
    write(() => client.eval(DELETE_IF_UNCHANGED, { keys: [name], arguments: [value] }));

  // An authentic entry, or undefined; a value found that this build did not
  // write under this name is counted and deleted.
  function read(name, value) {
    if (value === null || value === undefined) return undefined;
    const entry = open(keys, name, value);
    if (entry === undefined) {
      counts.integrityFailures++;
      deleteIfUnchanged(name, value);
    }
    return entry;
  }

  // The stored answer, if it holds for the tokens accepted now: a match with a
  // token no longer accepted, or a refusal that did not try every token
  // accepted now, is no answer.
  function answerOf(entry, accepted) {
    if (entry.kind === KIND.valid && (entry.tokens & accepted) !== 0)
      return { valid: true, token: tokenOfBit(entry.tokens) };
    if (entry.kind === KIND.invalid && (entry.tokens & accepted) === accepted) return { valid: false };
    return undefined;
  }

  function hashHere(hash) {
    counts.unavailable++;
    return hash();
  }

  // Hashes, stores the answer (not waiting for the store), and gives back the
  // mark if the hash failed: errors are never stored.
  async function hashAndStore(name, accepted, hash, mark) {
    counts.misses++;
    let result;
    try {
      result = await hash();
    } catch (err) {
      if (mark) deleteIfUnchanged(name, mark);
      throw err;
    }
    const bit = result?.valid === true ? (TOKEN_BITS[result.token] ?? 0) & accepted : 0;
    if (bit !== 0) set(name, sealAnswer(keys, name, true, bit), ttl.valid);
    else if (result?.valid === false) set(name, sealAnswer(keys, name, false, accepted), ttl.invalid);
    else if (mark) deleteIfUnchanged(name, mark);
    return result;
  }

  /**
   * The answer for these four arguments: from the store, or from `hash`, whose
   * answer is then stored for the fleet. Rejects only as `hash` does.
   * @param {string[]} args the four arguments of validateRequest
   * @param {('current' | 'previous')[]} accepted the tokens that a code may match now
   * @param {() => Promise<{ valid: boolean, token?: 'current' | 'previous' }>} hash the check itself:
   *   whether the code matched one of `accepted`, and which
   * @returns {Promise<{ valid: boolean, token?: 'current' | 'previous' }>}
   */
  async function check(args, accepted, hash) {
    const bits = tokenBits(accepted);
    if (!available()) return hashHere(hash);
    const name = entryName(keys, prefix, args);
    const deadline = performance.now() + lock.waitMs;
    let waited = false;
    for (;;) {
      const value = await command(() => client.get(name));
      if (value === UNAVAILABLE) return hashHere(hash);
      const entry = read(name, value);
      if (entry !== undefined && entry.kind !== KIND.pending) {
        const answer = answerOf(entry, bits);
        if (answer) {
          counts.hits++;
          return answer;
        }
        // About tokens that this call does not accept as they are: hashed anew, and replaced.
        return hashAndStore(name, bits, hash);
      }
      if (entry !== undefined) {
        // Another process is hashing: its answer, or after waitMs a hash of our own.
        if (!waited) counts.lockWaits++;
        waited = true;
        if (performance.now() + lock.pollMs >= deadline) return hashAndStore(name, bits, hash);
        await delay(lock.pollMs);
        continue;
      }
      const mark = sealPending(keys, name);
      const marked = await set(name, mark, lock.waitMs, 'NX');
      if (marked === UNAVAILABLE) return hashHere(hash);
      if (marked !== null) return hashAndStore(name, bits, hash, mark);
      // Another process marked it or answered first: read again, for as long as a wait may take.
      if (performance.now() >= deadline) return hashAndStore(name, bits, hash);
    }
  }

  return Object.freeze({
    check,
    /** The name of the entry for these four arguments (no code, no digest of one). */
    keyOf: (args) => entryName(keys, prefix, args),
    /** What every key of this build's entries starts with, for operators (`SCAN MATCH <keyspace>*`). */
    keyspace: `${prefix}${keys.keyspace}:`,
    /**
     * Counters since the level was made: checks answered from the store (hits), hashed for want of an
     * answer there (misses) or because the store failed (unavailable); checks that waited for another
     * process's hash (lockWaits); values found that this build did not write (integrityFailures, each
     * deleted); commands that failed or timed out (errors).
     */
    counts: () => ({ ...counts }),
    /** Settles when the writes sent so far have been answered or have timed out; never rejects. */
    writesDone: () => Promise.all([...writes]).then(() => undefined),
  });
}

module.exports = { createSharedCache, sharedCacheOf, readSharedCacheOptions, SHARED_CACHE_DEFAULTS: DEFAULTS };
