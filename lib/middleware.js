'use strict';

// (req, res, next) middleware for node:http, Express and Connect.

const { authenticate, readAuthOptions } = require('./authenticate');

function authMiddleware(options) {
  const settings = readAuthOptions(options, 'authMiddleware');
  return function headerValidatorAuth(req, res, next) {
    authenticate(req, req, settings).then((outcome) => {
      if (outcome.skipped) return next();
      if (outcome.auth) {
        req.auth = outcome.auth;
        return next();
      }
      res.writeHead(outcome.status, {
        ...outcome.headers,
        'content-type': 'application/json',
        'cache-control': 'no-store',
      });
      res.end(outcome.body);
    }, next);
  };
}

module.exports = { authMiddleware };
