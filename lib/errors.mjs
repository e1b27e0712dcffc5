import errors from './errors.js';

export const { HeaderValidatorError, codes } = errors;
