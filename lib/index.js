'use strict';

const { load } = require('./native');
const { tableInfo } = require('./table-info');
const defaultValidator = require('./default-validator');
const errors = require('./errors');

// Loaded on first use, so that a process that only validates synchronously
// does not pay for the pool, the cache or the middleware.
const onFirstUse =
  (file, name) =>
  (...args) =>
    require(file)[name](...args);

const { validateRequest, generateAuthCode } = load();

// Public demo tokens let anyone in: production refuses them unless told, for
// a throwaway environment, that this is on purpose. Elsewhere the manifest is
// not even read at load.
const demoTokens = process.env.NODE_ENV === 'production' ? tableInfo().demoTokens : 0;
if (demoTokens > 0) {
  if (process.env.HEADER_VALIDATOR_ALLOW_DEMO !== '1') throw errors.demoTable(demoTokens);
  process.emitWarning(
    `header-validator is running in production with ${demoTokens} public demo token` +
      `${demoTokens === 1 ? '' : 's'} in its table (HEADER_VALIDATOR_ALLOW_DEMO=1): anyone can make valid auth ` +
      'codes for them. Build with your own table (HEADER_VALIDATOR_TABLE) before deploying.',
    { code: 'HEADER_VALIDATOR_DEMO_TABLE' },
  );
}

module.exports = {
  validateRequest,
  generateAuthCode,
  validateRequestAsync: (...args) => defaultValidator().validateRequestAsync(...args),
  generateAuthCodeAsync: (...args) => defaultValidator().generateAuthCodeAsync(...args),
  close: () => defaultValidator().close(),
  stats: () => defaultValidator().stats(),
  createValidator: onFirstUse('./validator', 'createValidator'),
  tableInfo,
  authMiddleware: onFirstUse('./middleware', 'authMiddleware'),
  fastifyAuthHook: onFirstUse('./fastify', 'fastifyAuthHook'),
  HeaderValidatorError: errors.HeaderValidatorError,
};
