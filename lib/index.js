'use strict';

const { load } = require('./native');
const { tableInfo } = require('./table-info');
const { previousSwitchOn } = require('./rotation');
const defaultValidator = require('./default-validator');
const errors = require('./errors');

// Loaded on first use, so that a process that only validates synchronously
// does not pay for the pool, the cache or the middleware.
const onFirstUse =
  (file, name) =>
  (...args) =>
    require(file)[name](...args);

// Under NODE_ENV=production, throws for a build with public demo tokens.
const { validateRequest, generateAuthCode } = load();
// A misspelt HEADER_VALIDATOR_PREVIOUS fails at start, not at the first check.
previousSwitchOn();

module.exports = {
  validateRequest,
  generateAuthCode,
  validateRequestAsync: (...args) => defaultValidator().validateRequestAsync(...args),
  generateAuthCodeAsync: (...args) => defaultValidator().generateAuthCodeAsync(...args),
  close: () => defaultValidator().close(),
  stats: () => defaultValidator().stats(),
  rotation: () => defaultValidator().rotation(),
  createValidator: onFirstUse('./validator', 'createValidator'),
  tableInfo,
  authMiddleware: onFirstUse('./middleware', 'authMiddleware'),
  fastifyAuthHook: onFirstUse('./fastify', 'fastifyAuthHook'),
  fromIoredis: onFirstUse('./ioredis-adapter', 'fromIoredis'),
  HeaderValidatorError: errors.HeaderValidatorError,
  HeaderValidatorHttpError: errors.HeaderValidatorHttpError,
};
