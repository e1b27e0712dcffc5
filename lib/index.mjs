import headerValidator from './index.js';

export const {
  validateRequest,
  generateAuthCode,
  validateRequestAsync,
  generateAuthCodeAsync,
  close,
  stats,
  rotation,
  createValidator,
  tableInfo,
  authMiddleware,
  fastifyAuthHook,
  fromIoredis,
  HeaderValidatorError,
  HeaderValidatorHttpError,
} = headerValidator;

export default headerValidator;
