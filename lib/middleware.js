'use strict';

// (req, res, next) middleware for node:http, Express and Connect.

const { authenticate, readAuthOptions } = require('./authenticate');
const { letsThrough, responseHeaders, answerAsError } = require('./http-answer');

function authMiddleware(options) {
  const settings = readAuthOptions(options, 'authMiddleware');
  return function headerValidatorAuth(req, res, next) {
    let outcome;
    try {
      outcome = authenticate(req, req, settings);
    } catch (err) {
      next(err);
      return;
    }
    // A code answered from the cache is acted on at once. Otherwise the
    // outcome is acted on outside the promise chain, so that whatever the
    // route below throws propagates as it would without this middleware,
    // instead of becoming a rejection nobody handles.
    if (!(outcome instanceof Promise)) {
      act(outcome, settings, req, res, next);
      return;
    }
    outcome.then(
      (settled) => process.nextTick(act, settled, settings, req, res, next),
      (err) => process.nextTick(next, err),
    );
  };
}

const setHeader = (res, name, value) => res.setHeader(name, value);

function act(outcome, settings, req, res, next) {
  if (letsThrough(outcome, req, settings.requestProperty, res, setHeader)) return next();
  // The application answers: Express's and Connect's error handlers honour
  // the error's status and headers.
  if (settings.failWithError) return next(answerAsError(outcome));
  res.writeHead(outcome.status, responseHeaders(outcome));
  res.end(outcome.body);
}

module.exports = { authMiddleware };
