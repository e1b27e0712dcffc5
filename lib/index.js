'use strict';

const { load } = require('./native');
const { tableInfo } = require('./table-info');
const { createValidator } = require('./validator');
const defaultValidator = require('./default-validator');
const { authMiddleware } = require('./middleware');
const { fastifyAuthHook } = require('./fastify');

const { validateRequest, generateAuthCode } = load();

if (tableInfo().demo && process.env.NODE_ENV === 'production') {
  process.emitWarning(
    'header-validator is running with the public demo token table: anyone can make valid auth codes for it. ' +
      'Build with your own table (HEADER_VALIDATOR_TABLE) before deploying.',
    { code: 'HEADER_VALIDATOR_DEMO_TABLE' },
  );
}

module.exports = {
  validateRequest,
  generateAuthCode,
  validateRequestAsync: (...args) => defaultValidator().validateRequestAsync(...args),
  generateAuthCodeAsync: (...args) => defaultValidator().generateAuthCodeAsync(...args),
  close: () => defaultValidator().close(),
  createValidator,
  tableInfo,
  authMiddleware,
  fastifyAuthHook,
};
