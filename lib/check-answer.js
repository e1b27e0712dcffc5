'use strict';

// What one check of a request found, in the words that its event, the
// validator's counters and the errors handed to the application share: the
// outcome, the reason (why a request was refused, shed or failed), where the
// answer came from (cache) and which token it matched.

const errors = require('./errors');

/** Why a check answered invalid. */
const REFUSAL_REASONS = Object.freeze([
  'missing-header',
  'repeated-header',
  'unknown-combination',
  'malformed-code',
  'mismatch',
]);
/** Why a check was not made: the validator was busy, or closed (or closing). */
const SHED_REASONS = Object.freeze(['overloaded', 'closed']);
/** Why a check failed: a pool thread, the hash, the host function, or anything else. */
const ERROR_REASONS = Object.freeze(['worker', 'hash-failed', 'host', 'internal']);
const CACHE_STATES = Object.freeze(['hit', 'shared', 'miss', 'coalesced', 'none']);

const FAILURE_BY_CODE = new Map([
  [errors.codes.OVERLOADED, ['shed', 'overloaded']],
  [errors.codes.CLOSED, ['shed', 'closed']],
  [errors.codes.WORKER, ['error', 'worker']],
  [errors.codes.HASH_FAILED, ['error', 'hash-failed']],
  [errors.codes.HOST, ['error', 'host']],
]);

// A verdict about a code, with one frozen answer for each place it can come
// from, so that answering a check allocates nothing.
function verdict(valid, reason, token) {
  const answers = {};
  for (const cache of CACHE_STATES) {
    answers[cache] = Object.freeze({ outcome: valid ? 'valid' : 'invalid', valid, reason, cache, token });
  }
  return Object.freeze({ valid, token, ...answers });
}

/** The code matched the combination's token. */
const VALID = verdict(true, null, 'current');
/** The code matched the previous token of a combination being rotated, while that token is accepted. */
const VALID_PREVIOUS = verdict(true, null, 'previous');
/** One verdict per refusal reason. */
const REFUSED = Object.freeze(
  Object.fromEntries(REFUSAL_REASONS.map((reason) => [reason, verdict(false, reason, null)])),
);

/** The verdict for the pool's answer: the token the code matched ('current' or 'previous'), or null. */
function verdictOf(token) {
  if (token === 'current') return VALID;
  return token === 'previous' ? VALID_PREVIOUS : REFUSED.mismatch;
}

/**
 * A check that gave no answer: shed or failed, with the error that says why
 * (rejected by validateRequestAsync, answered 503 or passed on by the middleware).
 */
function failure(error, cache) {
  const [outcome, reason] = FAILURE_BY_CODE.get(error?.code) ?? ['error', 'internal'];
  return { outcome, valid: false, reason, cache, token: null, error };
}

module.exports = {
  REFUSAL_REASONS,
  SHED_REASONS,
  ERROR_REASONS,
  VALID,
  REFUSED,
  verdictOf,
  failure,
};
