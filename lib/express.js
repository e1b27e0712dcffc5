'use strict';

// `header-validator/express`: the middleware for Express apps. It is the main
// entry's authMiddleware; this entry's types declare `req.auth` on Express's
// own Request, which the main entry leaves to the application.

const { authMiddleware } = require('./middleware');
const { HeaderValidatorError, HeaderValidatorHttpError } = require('./errors');

module.exports = { authMiddleware, HeaderValidatorError, HeaderValidatorHttpError };
