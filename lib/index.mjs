import headerValidator from './index.js';

export const {
  validateRequest,
  generateAuthCode,
  validateRequestAsync,
  generateAuthCodeAsync,
  close,
  createValidator,
  tableInfo,
  authMiddleware,
  fastifyAuthHook,
  HeaderValidatorError,
} = headerValidator;

export default headerValidator;
