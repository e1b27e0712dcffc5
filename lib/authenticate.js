'use strict';

// The request check shared by the middleware and the Fastify hook: read the
// three headers, resolve the deployment's host, validate off the main thread.
// Nothing here logs or echoes the auth code.

const defaultValidator = require('./default-validator');
const errors = require('./errors');

const DEFAULT_HEADERS = Object.freeze({ authCode: 'x-auth-code', platform: 'x-platform', userType: 'x-user-type' });
const OPTION_NAMES = new Set(['host', 'validator', 'headers', 'skip', 'failWithError']);
// A busy, closed or failing pool, or a check that could not hash: the request
// may well succeed if retried.
const SHED_CODES = new Set([
  errors.codes.OVERLOADED,
  errors.codes.CLOSED,
  errors.codes.WORKER,
  errors.codes.HASH_FAILED,
]);

// The authentication scheme named in every 401's WWW-Authenticate challenge
// (RFC 9110 requires one): the code and the names it is for travel in headers
// of their own, which the challenge lists.
const SCHEME = 'AuthCode';
// RFC 9110 token characters: what a header name may hold.
const TOKEN = /^[!#$%&'*+.^_`|~0-9A-Za-z-]+$/;

// Retry-After lets clients and balancers come back instead of hammering a busy pool.
const OVERLOADED = Object.freeze({ status: 503, headers: { 'retry-after': '1' }, body: '{"error":"overloaded"}' });

function readHeaderNames(headers, where) {
  if (headers === null || typeof headers !== 'object')
    throw new TypeError(`${where}: headers must be an object of header names`);
  const names = { ...DEFAULT_HEADERS };
  for (const [key, name] of Object.entries(headers)) {
    if (!(key in DEFAULT_HEADERS))
      throw new TypeError(`${where}: unknown header option ${JSON.stringify(key)} (authCode, platform, userType)`);
    if (typeof name !== 'string' || !TOKEN.test(name)) {
      throw new TypeError(`${where}: headers.${key} must be a header name`);
    }
    names[key] = name.toLowerCase();
  }
  return names;
}

/** Checks the options once, when the middleware is made. */
function readAuthOptions(options, where) {
  if (options === null || typeof options !== 'object') {
    throw new TypeError(`${where}: options are required, at least { host }`);
  }
  for (const key of Object.keys(options)) {
    if (!OPTION_NAMES.has(key)) throw new TypeError(`${where}: unknown option ${JSON.stringify(key)}`);
  }
  const { host, validator, headers = {}, skip, failWithError = false } = options;
  if (!(typeof host === 'function' || (typeof host === 'string' && host !== ''))) {
    throw new TypeError(
      `${where}: the host option is required: this deployment's host name, or a function of the request that ` +
        `returns it ` +
        '(never the Host header, which the client chooses)',
    );
  }
  if (validator !== undefined && typeof validator?.validateRequestAsync !== 'function') {
    throw new TypeError(`${where}: validator must come from createValidator()`);
  }
  if (skip !== undefined && typeof skip !== 'function')
    throw new TypeError(`${where}: skip must be a function of the request`);
  if (typeof failWithError !== 'boolean') throw new TypeError(`${where}: failWithError must be true or false`);
  const names = readHeaderNames(headers, where);
  const challenge = `${SCHEME} headers="${names.authCode} ${names.platform} ${names.userType}"`;
  const unauthorized = Object.freeze({
    status: 401,
    headers: Object.freeze({ 'www-authenticate': challenge }),
    body: '{"error":"unauthorized"}',
  });
  // The default validator is made now, so that the module and its manifest
  // are loaded (and a build that must not run is refused) when the middleware,
  // hook or plugin is made: a broken install fails at start, not per request.
  return { host, validator: validator ?? defaultValidator(), skip, failWithError, names, unauthorized };
}

/**
 * An answer that is not a pass, as the error an application handles itself
 * (failWithError, or Fastify's error handling): a HeaderValidatorError with
 * the answer's status and headers. cause: the pool's error, for a 503.
 */
function failure(outcome) {
  return errors.httpFailure(outcome, outcome.cause);
}

// A header sent more than once is refused, not joined. Requests without
// headersDistinct (Fastify's inject(), node:http2's compatibility API) only
// have the joined form: there a comma marks a repeat, since no valid code or
// name holds one.
function single(incoming, name) {
  const distinct = incoming.headersDistinct;
  if (distinct != null) {
    const values = distinct[name];
    return values?.length === 1 ? values[0] : undefined;
  }
  const headers = incoming.headers;
  const value = headers != null && Object.hasOwn(headers, name) ? headers[name] : undefined;
  return typeof value === 'string' && !value.includes(',') ? value : undefined;
}

// The host function's own error may say anything, and a framework's default
// error handler may send it to the client: it travels only as the cause.
async function callHostFunction(hostFunction, req) {
  let resolved;
  try {
    resolved = await hostFunction(req);
  } catch (err) {
    throw errors.host(err);
  }
  if (typeof resolved !== 'string' || resolved === '') {
    throw errors.host(new TypeError('header-validator: the host function must return a non-empty host name'));
  }
  return resolved;
}

// skip may be async: a pending Promise is truthy, so only an awaited, exact
// true lets a request through unchecked. Its own error travels only as the cause.
async function callSkipFunction(skipFunction, req) {
  try {
    return (await skipFunction(req)) === true;
  } catch (err) {
    throw errors.skip(err);
  }
}

/**
 * @param {unknown} req what skip() and a host function receive
 * @param {import('node:http').IncomingMessage} incoming the request whose headers are read
 * @returns {Promise<{skipped: true} | {auth: AuthInfo} | {status: number, headers: object, body: string}>}
 * @typedef {{platform: string, userType: string, host: string}} AuthInfo
 */
async function authenticate(req, incoming, settings) {
  if (settings.skip !== undefined && (await callSkipFunction(settings.skip, req))) return { skipped: true };
  const { names } = settings;
  const authCode = single(incoming, names.authCode);
  const platform = single(incoming, names.platform);
  const userType = single(incoming, names.userType);
  if (authCode === undefined || platform === undefined || userType === undefined) return settings.unauthorized;

  const host = typeof settings.host === 'function' ? await callHostFunction(settings.host, req) : settings.host;
  let valid;
  try {
    valid = await settings.validator.validateRequestAsync(authCode, platform, userType, host);
  } catch (err) {
    if (SHED_CODES.has(err?.code)) return { ...OVERLOADED, cause: err };
    throw err;
  }
  return valid ? { auth: { platform, userType, host } } : settings.unauthorized;
}

module.exports = { authenticate, readAuthOptions, failure, SCHEME };
