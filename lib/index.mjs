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
} = headerValidator;

export default headerValidator;
