import errors from './errors.js';

export const { HeaderValidatorError, HeaderValidatorHttpError, codes } = errors;
