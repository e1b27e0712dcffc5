'use strict';

// The request check shared by the middleware and the Fastify hook: read the
// three headers, resolve the deployment's host, validate off the main thread.
// Nothing here logs or echoes the auth code.

const defaultValidator = require('./default-validator');
const errors = require('./errors');
const {
  checkRequiredOptions,
  checkObject,
  checkName,
  checkNames,
  checkFunction,
  checkBoolean,
  optionError,
  hostRequired,
} = require('./options');
const { unauthorizedAnswer, overloadedAnswer } = require('./http-answer');

const DEFAULT_HEADERS = Object.freeze({ authCode: 'x-auth-code', platform: 'x-platform', userType: 'x-user-type' });
const HEADER_OPTION_NAMES = new Set(Object.keys(DEFAULT_HEADERS));
const OPTION_NAMES = new Set(['host', 'validator', 'headers', 'skip', 'failWithError']);
// RFC 9110 token characters: what a header name may hold.
const TOKEN = /^[!#$%&'*+.^_`|~0-9A-Za-z-]+$/;

function readHeaderNames(headers, where) {
  checkObject(headers, where, 'headers', 'an object of header names');
  const names = { ...DEFAULT_HEADERS };
  for (const [key, name] of Object.entries(headers)) {
    checkName(key, HEADER_OPTION_NAMES, where, { kind: 'header', listed: true });
    if (typeof name !== 'string' || !TOKEN.test(name))
      throw optionError(where, `headers.${key}`, 'must be a header name');
    names[key] = name.toLowerCase();
  }
  return names;
}

/** Checks the options once, when the middleware is made. */
function readAuthOptions(options, where) {
  checkRequiredOptions(options, where, ['host']);
  checkNames(options, OPTION_NAMES, where);
  const { host, validator, headers = {}, skip, failWithError = false } = options;
  if (!(typeof host === 'function' || (typeof host === 'string' && host !== ''))) throw hostRequired(where);
  if (validator !== undefined && typeof validator?.validateRequestAsync !== 'function') {
    throw optionError(where, 'validator', 'must come from createValidator()');
  }
  if (skip !== undefined) checkFunction(skip, where, 'skip', 'the request');
  checkBoolean(failWithError, where, 'failWithError');
  const names = readHeaderNames(headers, where);
  const unauthorized = unauthorizedAnswer(names);
  // The default validator is made now, so that the module and its manifest
  // are loaded (and a build that must not run is refused) when the middleware,
  // hook or plugin is made: a broken install fails at start, not per request.
  return { host, validator: validator ?? defaultValidator(), skip, failWithError, names, unauthorized };
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
    const overloaded = overloadedAnswer(err);
    if (overloaded) return overloaded;
    throw err;
  }
  return valid ? { auth: { platform, userType, host } } : settings.unauthorized;
}

module.exports = { authenticate, readAuthOptions };
