import express from './express.js';

export const { authMiddleware, HeaderValidatorError, HeaderValidatorHttpError } = express;
