'use strict';

// Validators: the native functions as they are, plus Promise versions that run
// on a pool of worker threads so that bcrypt never blocks the event loop.

const os = require('node:os');
const path = require('node:path');
const { Piscina } = require('piscina');
const { validateRequestArgumentsError, generateAuthCodeArgumentsError } = require('./arguments');
const errors = require('./errors');
const { longestNameBytes } = require('./table-info');

const WORKER = path.join(__dirname, 'worker.js');
const QUEUE_PER_THREAD = 16;
// Far beyond any core count; a larger number is a mistake, not a pool.
const MAX_THREADS = 256;
// Every code that can match is this many UTF-16 units long.
const AUTH_CODE_LENGTH = 60;

function readOptions(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('createValidator options must be an object');
  for (const key of Object.keys(options)) {
    if (key !== 'threads' && key !== 'maxQueue')
      throw new TypeError(`createValidator: unknown option ${JSON.stringify(key)}`);
  }
  const { threads = os.availableParallelism(), maxQueue = threads * QUEUE_PER_THREAD } = options;
  if (!Number.isSafeInteger(threads) || threads < 1 || threads > MAX_THREADS)
    throw new RangeError(`createValidator: threads must be an integer from 1 to ${MAX_THREADS}`);
  if (!Number.isSafeInteger(maxQueue) || maxQueue < 0)
    throw new RangeError('createValidator: maxQueue must be an integer of at least 0');
  return { threads, maxQueue };
}

// A call that the native function refuses before any hashing: a code of the
// wrong length, or a name longer than every name in the table. Answering it on
// the calling thread costs microseconds; sending it to a thread would copy the
// strings and take a queue slot.
function refusedWithoutHashing(longestName, names, authCode) {
  if (authCode !== undefined && authCode.length !== AUTH_CODE_LENGTH) return true;
  return names.some((name) => name.length > longestName);
}

function answerHere(fn, args) {
  try {
    return Promise.resolve(fn(...args));
  } catch (err) {
    return Promise.reject(err);
  }
}

// What the worker sent back: the native function's answer, or its error
// (one of ours rebuilt as such on this thread).
function unwrap(outcome) {
  if (!('error' in outcome)) return outcome.value;
  if (errors.isCode(outcome.code)) {
    throw new errors.HeaderValidatorError(outcome.code, outcome.error?.message ?? outcome.code);
  }
  throw outcome.error;
}

function poolFailure(cause) {
  throw errors.worker(cause);
}

/**
 * @param {{ threads?: number, maxQueue?: number }} [options] threads: pool size, 1 to 256 (default: one per
 *   available core); maxQueue: calls that may wait for a thread (default: 16 per thread)
 */
function createValidator(options = {}) {
  const { threads, maxQueue } = readOptions(options);
  // The module is loaded here as well, so that a broken build fails at once.
  const { validateRequest, generateAuthCode } = require('./native').load();
  const native = { validateRequest, generateAuthCode };
  const longestName = longestNameBytes();

  let pool;
  let closing;
  const inFlight = new Set();

  function startPool() {
    const started = new Piscina({ filename: WORKER, minThreads: threads, maxThreads: threads, recordTiming: false });
    // A thread that fails while idle (say, while loading) fails the calls that
    // reach it; unheard, the event would crash the process.
    started.on('error', () => {});
    return started;
  }

  function submit(name, args, names, authCode) {
    if (closing) return Promise.reject(errors.closed());
    // Only a call that cannot hash is answered here; hashing belongs on the pool.
    if (refusedWithoutHashing(longestName, names, authCode)) return answerHere(native[name], args);
    // Running calls plus waiting ones: beyond that, shed load at once.
    if (inFlight.size >= threads + maxQueue) return Promise.reject(errors.overloaded());
    pool ??= startPool();
    const task = pool.run(args, { name }).then(unwrap, poolFailure);
    inFlight.add(task);
    const forget = () => inFlight.delete(task);
    task.then(forget, forget);
    return task;
  }

  return Object.freeze({
    validateRequest,
    generateAuthCode,
    validateRequestAsync(...args) {
      const error = validateRequestArgumentsError(args);
      if (error) return Promise.reject(error);
      const [authCode, ...names] = args;
      return submit('validateRequest', args, names, authCode);
    },
    generateAuthCodeAsync(...args) {
      const error = generateAuthCodeArgumentsError(args);
      return error ? Promise.reject(error) : submit('generateAuthCode', args, args);
    },
    /** Lets accepted calls finish, then stops the threads; later calls reject. */
    close() {
      closing ??= Promise.allSettled(inFlight).then(() => pool?.close());
      return closing;
    },
  });
}

module.exports = { createValidator };
