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
  HeaderValidatorError,
  HeaderValidatorHttpError,
} = headerValidator;

export default headerValidator;
