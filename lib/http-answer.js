'use strict';

// How a request that does not pass is answered, stated once for the
// middleware, the Fastify hook and the Fastify plugin, which only adapt it to
// their framework: which outcome of the check is which HTTP answer (401 with
// a challenge, 503 with Retry-After), the headers every such answer carries,
// and the same answer as an error for an application that answers itself.

const errors = require('./errors');

// The authentication scheme named in every 401's WWW-Authenticate challenge
// (RFC 9110 requires one): the code and the names it is for travel in headers
// of their own, which the challenge lists.
const SCHEME = 'AuthCode';

// A busy, closed or failing pool, or a check that could not hash: the request
// may well succeed if retried.
const SHED_CODES = new Set([
  errors.codes.OVERLOADED,
  errors.codes.CLOSED,
  errors.codes.WORKER,
  errors.codes.HASH_FAILED,
]);

// Retry-After lets clients and balancers come back instead of hammering a busy pool.
const OVERLOADED = Object.freeze({ status: 503, headers: { 'retry-after': '1' }, body: '{"error":"overloaded"}' });

/** The 401 for requests read with these header names: its challenge lists them. */
function unauthorizedAnswer(names) {
  const challenge = `${SCHEME} headers="${names.authCode} ${names.platform} ${names.userType}"`;
  return Object.freeze({
    status: 401,
    headers: Object.freeze({ 'www-authenticate': challenge }),
    body: '{"error":"unauthorized"}',
  });
}

/** The 503 for a check that failed with err, or undefined for an error that is not the pool's or the hash's. */
function overloadedAnswer(err) {
  return SHED_CODES.has(err?.code) ? { ...OVERLOADED, cause: err } : undefined;
}

/**
 * Whether the outcome lets the request through (checked, or skipped); a
 * checked request gets its `auth`.
 */
function letsThrough(outcome, request) {
  if (outcome.skipped) return true;
  if (outcome.auth) {
    request.auth = outcome.auth;
    return true;
  }
  return false;
}

/** The headers an answer is sent with: its own, the body's type, and no caching. */
function responseHeaders(answer) {
  return { ...answer.headers, 'content-type': 'application/json', 'cache-control': 'no-store' };
}

/**
 * An answer as the error an application handles itself (failWithError, or
 * Fastify's error handling): a HeaderValidatorError with the answer's status
 * and headers. cause: the pool's error, for a 503.
 */
function answerAsError(answer) {
  return errors.httpFailure(answer, answer.cause);
}

module.exports = { unauthorizedAnswer, overloadedAnswer, letsThrough, responseHeaders, answerAsError };
