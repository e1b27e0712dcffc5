'use strict';

// How a request that does not pass is answered, stated once for the
// middleware, the Fastify hook and the Fastify plugin, which only adapt it to
// their framework: which outcome of the check is which HTTP answer (401 with
// a challenge, 503 with Retry-After), the headers every such answer carries,
// and the same answer as an error for an application that answers itself.
// Each answer carries the check's reason for that error; the body never
// does: a client learns nothing it could use.

const { REFUSAL_REASONS } = require('./check-answer');
const errors = require('./errors');

// The authentication scheme named in every 401's WWW-Authenticate challenge
// (RFC 9110 requires one): the code and the names it is for travel in headers
// of their own, which the challenge lists.
const SCHEME = 'AuthCode';

// Retry-After lets clients and balancers come back instead of hammering a busy
// pool, or try another instance of a server that is shutting down.
const retryLater = (error) => ({ status: 503, headers: { 'retry-after': '1' }, body: JSON.stringify({ error }) });
const OVERLOADED = retryLater('overloaded');

// A busy, closed or failing pool, or a check that could not hash: the request
// may well succeed if retried (elsewhere, for a validator that is closing).
const RETRY_LATER_BY_CODE = new Map([
  [errors.codes.OVERLOADED, OVERLOADED],
  [errors.codes.CLOSED, retryLater('unavailable')],
  [errors.codes.WORKER, OVERLOADED],
  [errors.codes.HASH_FAILED, OVERLOADED],
]);

/**
 * The 401s for requests read with these header names, by the reason of the
 * refusal: their challenge lists the names.
 * @returns {Record<string, {status: 401, headers: object, body: string, reason: string}>}
 */
function unauthorizedAnswers(names) {
  const challenge = `${SCHEME} headers="${names.authCode} ${names.platform} ${names.userType}"`;
  const headers = Object.freeze({ 'www-authenticate': challenge });
  const body = '{"error":"unauthorized"}';
  return Object.freeze(
    Object.fromEntries(
      REFUSAL_REASONS.map((reason) => [reason, Object.freeze({ status: 401, headers, body, reason })]),
    ),
  );
}

/**
 * The 503 for a check that was shed or failed (an answer of check-answer.js
 * that holds its error), or undefined for an error that is not the pool's or
 * the hash's.
 */
function retryLaterAnswer({ error, reason }) {
  const answer = RETRY_LATER_BY_CODE.get(error?.code);
  return answer === undefined ? undefined : { ...answer, cause: error, reason };
}

/**
 * What a response to a request let in with a code of a previous token carries,
 * so that its client can tell its user to update: Deprecation (RFC 9745) from
 * the start of the overlap, when the build that replaced the token was made,
 * and Sunset (RFC 8594) at its end. Undefined without a previous table.
 * @param {{ since: string, until: string } | null} previous as tableInfo().previous
 */
function deprecationHeaders(previous) {
  if (previous === null) return undefined;
  return Object.freeze({
    deprecation: `@${Math.floor(Date.parse(previous.since) / 1000)}`,
    sunset: new Date(previous.until).toUTCString(),
  });
}

/**
 * Whether the outcome lets the request through (checked, or skipped); a
 * checked request gets who it was authenticated as in request[property], and
 * its response the headers the outcome names, through the framework's
 * setHeader(response, name, value).
 */
function letsThrough(outcome, request, property, response, setHeader) {
  if (outcome.skipped) return true;
  if (outcome.auth) {
    request[property] = outcome.auth;
    if (outcome.headers !== undefined) {
      for (const [name, value] of Object.entries(outcome.headers)) setHeader(response, name, value);
    }
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
 * Fastify's error handling): a HeaderValidatorHttpError with the answer's
 * status, headers and reason. cause: the pool's error, for a 503.
 */
function answerAsError(answer) {
  return errors.httpFailure(answer, answer.cause);
}

module.exports = {
  unauthorizedAnswers,
  retryLaterAnswer,
  deprecationHeaders,
  letsThrough,
  responseHeaders,
  answerAsError,
};
