'use strict';

// The request check shared by the middleware and the Fastify hook: resolve
// the deployment's host, read the three headers, check off the main thread.
// A request whose code the validator has answered before is answered at once,
// without a promise; the others settle later. Each check is reported once,
// through the validator, with the reason for a refusal. Nothing here logs or
// echoes the auth code.

const { IncomingMessage } = require('node:http');
const defaultValidator = require('./default-validator');
const { REFUSED, failure } = require('./check-answer');
const { checkStart } = require('./check-report');
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
const { printableName } = require('./printable-name');
const { readRequestProperty } = require('./request-property');
const { hasHost, tableInfo } = require('./table-info');
const { unauthorizedAnswers, retryLaterAnswer, deprecationHeaders } = require('./http-answer');
const { CHECK, REPORT } = require('./validator');

const DEFAULT_HEADERS = Object.freeze({ authCode: 'x-auth-code', platform: 'x-platform', userType: 'x-user-type' });
const HEADER_OPTION_NAMES = new Set(Object.keys(DEFAULT_HEADERS));
const OPTION_NAMES = new Set([
  'host',
  'validator',
  'headers',
  'skip',
  'failWithError',
  'requestProperty',
  'deprecationHeaders',
]);
// RFC 9110 token characters: what a header name may hold.
const TOKEN = /^[!#$%&'*+.^_`|~0-9A-Za-z-]+$/;
// Enough of a long table's hosts for an operator to spot a misspelling.
const HOSTS_LISTED = 20;

const SKIPPED = Object.freeze({ skipped: true });

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

function tableHostsText() {
  const hosts = Object.keys(tableInfo().hosts);
  const listed = hosts.slice(0, HOSTS_LISTED).map((host) => `'${printableName(host)}'`);
  const more = hosts.length > HOSTS_LISTED ? ` and ${hosts.length - HOSTS_LISTED} more` : '';
  return hosts.length === 0 ? 'none' : listed.join(', ') + more;
}

// A host that the table does not hold refuses every code: a misspelt host
// must stop the server at start, not answer every request 401.
function unknownHost(where, host) {
  return optionError(
    where,
    'host',
    `'${printableName(host)}' is not a host of the token table, which holds: ${tableHostsText()}`,
  );
}

/** Checks the options once, when the middleware is made. */
function readAuthOptions(options, where) {
  checkRequiredOptions(options, where, ['host']);
  checkNames(options, OPTION_NAMES, where);
  const { host, validator, headers = {}, skip, failWithError = false, deprecationHeaders: deprecate = true } = options;
  if (!(typeof host === 'function' || (typeof host === 'string' && host !== ''))) throw hostRequired(where);
  if (validator !== undefined && typeof validator?.[CHECK] !== 'function') {
    throw optionError(where, 'validator', 'must come from createValidator()');
  }
  if (skip !== undefined) checkFunction(skip, where, 'skip', 'the request');
  checkBoolean(failWithError, where, 'failWithError');
  checkBoolean(deprecate, where, 'deprecationHeaders');
  const requestProperty = readRequestProperty(options.requestProperty, where);
  const names = readHeaderNames(headers, where);
  if (typeof host === 'string' && !hasHost(host)) throw unknownHost(where, host);
  return {
    host,
    // The default validator is made now, so that the module and its manifest
    // are loaded (and a build that must not run is refused) when the
    // middleware, hook or plugin is made: a broken install fails at start, not
    // per request.
    validator: validator ?? defaultValidator(),
    skip,
    failWithError,
    requestProperty,
    names,
    unauthorized: unauthorizedAnswers(names),
    // What a request let in with a previous token's code carries back, if anything.
    deprecation: deprecate ? deprecationHeaders(tableInfo().previous) : undefined,
  };
}

const isThenable = (value) => typeof value?.then === 'function';

const MISSING = Symbol('missing');
const REPEATED = Symbol('repeated');

// The three headers of a node:http request, read from its raw list in one
// pass: each value, MISSING or REPEATED. It reads what headersDistinct would
// hold, without building that object of every header for three of them.
function threeHeaders(raw, names) {
  const found = [MISSING, MISSING, MISSING];
  const wanted = [names.authCode, names.platform, names.userType];
  for (let i = 0; i + 1 < raw.length; i += 2) {
    const name = raw[i];
    for (let w = 0; w < 3; w++) {
      if (name.length === wanted[w].length && name.toLowerCase() === wanted[w]) {
        found[w] = found[w] === MISSING ? raw[i + 1] : REPEATED;
        break;
      }
    }
  }
  return found;
}

// A header sent more than once is refused, not joined. Requests without
// headersDistinct (Fastify's inject(), node:http2's compatibility API) only
// have the joined form: there a comma marks a repeat, since no valid code or
// name holds one.
function single(incoming, name) {
  const distinct = incoming.headersDistinct;
  if (distinct != null) {
    const values = distinct[name];
    if (values === undefined) return MISSING;
    return values.length === 1 ? values[0] : REPEATED;
  }
  const headers = incoming.headers;
  const value = headers != null && Object.hasOwn(headers, name) ? headers[name] : undefined;
  if (value === undefined) return MISSING;
  return typeof value === 'string' && !value.includes(',') ? value : REPEATED;
}

// The host function's own error may say anything, and a framework's default
// error handler may send it to the client: it travels only as the cause.
function resolvedHost(resolved) {
  if (typeof resolved !== 'string' || resolved === '') {
    throw errors.host(new TypeError('header-validator: the host function must return a non-empty host name'));
  }
  if (!hasHost(resolved)) {
    throw errors.host(
      new TypeError(
        `header-validator: the host function returned '${printableName(resolved)}', which is not a host of the ` +
          'token table',
      ),
    );
  }
  return resolved;
}

function callHostFunction(hostFunction, req) {
  let resolved;
  try {
    resolved = hostFunction(req);
  } catch (err) {
    throw errors.host(err);
  }
  if (!isThenable(resolved)) return resolvedHost(resolved);
  return Promise.resolve(resolved).then(resolvedHost, (err) => {
    throw errors.host(err);
  });
}

// skip may be async: a pending Promise is truthy, so only an awaited, exact
// true lets a request through unchecked. Its own error travels only as the cause.
function callSkipFunction(skipFunction, req) {
  let decided;
  try {
    decided = skipFunction(req);
  } catch (err) {
    throw errors.skip(err);
  }
  if (!isThenable(decided)) return decided === true;
  return Promise.resolve(decided).then(
    (value) => value === true,
    (err) => {
      throw errors.skip(err);
    },
  );
}

/**
 * @param {unknown} req what skip() and a host function receive
 * @param {import('node:http').IncomingMessage} incoming the request whose headers are read
 * @returns {Outcome | Promise<Outcome>} it throws (or rejects) only the skip and host functions' errors
 * @typedef {{skipped: true} | {auth: AuthInfo, headers?: object}
 *   | {status: number, headers: object, body: string, reason: string}} Outcome
 *   headers of a request let through: the response headers it must carry (Deprecation and Sunset)
 * @typedef {{platform: string, userType: string, host: string, token: 'current' | 'previous'}} AuthInfo
 */
function authenticate(req, incoming, settings) {
  if (settings.skip === undefined) return checkRequest(req, incoming, settings);
  const skipped = callSkipFunction(settings.skip, req);
  if (!isThenable(skipped)) return skipped ? SKIPPED : checkRequest(req, incoming, settings);
  return skipped.then((yes) => (yes ? SKIPPED : checkRequest(req, incoming, settings)));
}

function checkRequest(req, incoming, settings) {
  const start = checkStart();
  if (typeof settings.host !== 'function') return checkAt(settings.host, incoming, settings, start);
  const hostFailed = (err) => {
    settings.validator[REPORT](failure(err, 'none'), null, null, null, start);
    throw err;
  };
  let host;
  try {
    host = callHostFunction(settings.host, req);
  } catch (err) {
    return hostFailed(err);
  }
  if (!isThenable(host)) return checkAt(host, incoming, settings, start);
  return host.then((resolved) => checkAt(resolved, incoming, settings, start), hostFailed);
}

function checkAt(host, incoming, settings, start) {
  const { names, validator } = settings;
  const [authCode, platform, userType] =
    incoming instanceof IncomingMessage && Array.isArray(incoming.rawHeaders)
      ? threeHeaders(incoming.rawHeaders, names)
      : [single(incoming, names.authCode), single(incoming, names.platform), single(incoming, names.userType)];
  if (typeof authCode !== 'string' || typeof platform !== 'string' || typeof userType !== 'string') {
    const answer = [authCode, platform, userType].includes(REPEATED)
      ? REFUSED['repeated-header'].none
      : REFUSED['missing-header'].none;
    const name = (value) => (typeof value === 'string' ? value : null);
    return conclude(answer, host, name(platform), name(userType), settings, start);
  }
  const answer = validator[CHECK](authCode, platform, userType, host);
  if (!(answer instanceof Promise)) return conclude(answer, host, platform, userType, settings, start);
  return answer.then((done) => conclude(done, host, platform, userType, settings, start));
}

function conclude(answer, host, platform, userType, settings, start) {
  settings.validator[REPORT](answer, host, platform, userType, start);
  if (answer.valid) {
    const auth = { platform, userType, host, token: answer.token };
    const { deprecation } = settings;
    return answer.token === 'previous' && deprecation !== undefined ? { auth, headers: deprecation } : { auth };
  }
  if (answer.error === undefined) return settings.unauthorized[answer.reason];
  const retryLater = retryLaterAnswer(answer);
  if (retryLater) return retryLater;
  throw answer.error;
}

module.exports = { authenticate, readAuthOptions };
