'use strict';

// The pool of worker threads that runs bcrypt off the event loop: started with
// its first call, bounded (a call beyond the running ones and the queue is
// shed at once), tracked while in flight, and closed after the calls it
// accepted have finished.

const os = require('node:os');
const path = require('node:path');
const errors = require('./errors');
const { checkInteger } = require('./options');

const WORKER = path.join(__dirname, 'worker.js');
const QUEUE_PER_THREAD = 16;
// Far beyond any core count; a larger number is a mistake, not a pool.
const MAX_THREADS = 256;

/**
 * Checks createValidator's `threads` and `maxQueue` options and fills in their defaults.
 * @returns {{ threads: number, maxQueue: number }}
 */
function readPoolOptions({ threads = os.availableParallelism(), maxQueue = threads * QUEUE_PER_THREAD }) {
  checkInteger(threads, 'createValidator', 'threads', 1, MAX_THREADS);
  checkInteger(maxQueue, 'createValidator', 'maxQueue', 0);
  return { threads, maxQueue };
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
 * @param {{ threads: number, maxQueue: number }} bounds from readPoolOptions
 */
function createPool({ threads, maxQueue }) {
  let piscina;
  let closing;
  const inFlight = new Set();

  function start() {
    // Loaded with the first pool, so that a process that only checks
    // synchronously does not pay for it.
    const { Piscina } = require('piscina');
    const started = new Piscina({ filename: WORKER, minThreads: threads, maxThreads: threads, recordTiming: false });
    // A thread that fails while idle (say, while loading) fails the calls that
    // reach it; unheard, the event would crash the process.
    started.on('error', () => {});
    return started;
  }

  const hasRoom = () => inFlight.size < threads + maxQueue;

  return {
    /**
     * A call of the worker's function `name` on a thread, or undefined when
     * every thread is busy and the queue is full: running calls plus waiting
     * ones beyond that are shed at once.
     */
    run(name, args) {
      if (!hasRoom()) return undefined;
      piscina ??= start();
      const task = piscina.run(args, { name }).then(unwrap, poolFailure);
      inFlight.add(task);
      const forget = () => inFlight.delete(task);
      task.then(forget, forget);
      return task;
    },
    /** Whether run() would take a call now. */
    hasRoom,
    /** Calls accepted and not yet settled, and those of them waiting for a thread. */
    load: () => ({ inFlight: inFlight.size, queued: piscina?.queueSize ?? 0 }),
    /** Lets accepted calls finish, then stops the threads. */
    close() {
      closing ??= Promise.allSettled(inFlight).then(() => piscina?.close());
      return closing;
    },
  };
}

module.exports = { readPoolOptions, createPool };
