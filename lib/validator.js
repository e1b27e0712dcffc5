'use strict';

// Validators: the native functions as they are, plus Promise versions that run
// on a pool of worker threads so that bcrypt never blocks the event loop.

const os = require('node:os');
const path = require('node:path');
const { Piscina } = require('piscina');
const { validateRequestArgumentsError, generateAuthCodeArgumentsError } = require('./arguments');
const errors = require('./errors');

const WORKER = path.join(__dirname, 'worker.js');
const QUEUE_PER_THREAD = 16;

function readOptions(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('createValidator options must be an object');
  for (const key of Object.keys(options)) {
    if (key !== 'threads' && key !== 'maxQueue')
      throw new TypeError(`createValidator: unknown option ${JSON.stringify(key)}`);
  }
  const { threads = os.availableParallelism(), maxQueue = threads * QUEUE_PER_THREAD } = options;
  if (!Number.isSafeInteger(threads) || threads < 1)
    throw new RangeError('createValidator: threads must be an integer of at least 1');
  if (!Number.isSafeInteger(maxQueue) || maxQueue < 0)
    throw new RangeError('createValidator: maxQueue must be an integer of at least 0');
  return { threads, maxQueue };
}

/**
 * @param {{ threads?: number, maxQueue?: number }} [options] threads: pool size (default: one per
 *   available core); maxQueue: calls that may wait for a thread (default: 16 per thread)
 */
function createValidator(options = {}) {
  const { threads, maxQueue } = readOptions(options);
  // The module is loaded here as well, so that a broken build fails at once.
  const { validateRequest, generateAuthCode } = require('./native').load();

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

  function submit(name, args) {
    if (closing) return Promise.reject(errors.closed());
    // Running calls plus waiting ones: beyond that, shed load at once.
    if (inFlight.size >= threads + maxQueue) return Promise.reject(errors.overloaded());
    pool ??= startPool();
    const task = pool.run(args, { name });
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
      return error ? Promise.reject(error) : submit('validateRequest', args);
    },
    generateAuthCodeAsync(...args) {
      const error = generateAuthCodeArgumentsError(args);
      return error ? Promise.reject(error) : submit('generateAuthCode', args);
    },
    /** Lets accepted calls finish, then stops the threads; later calls reject. */
    close() {
      closing ??= Promise.allSettled(inFlight).then(() => pool?.close());
      return closing;
    },
  });
}

module.exports = { createValidator };
