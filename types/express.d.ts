// `header-validator/express`: the middleware typed with Express's own Request, on which
// this entry declares `auth`. Needs Express's types (@types/express). An application in
// which another library declares Request.auth uses the main entry instead, with
// another requestProperty.
import type { Request, RequestHandler } from 'express';
import type { AuthInfo, AuthOptions } from './index.js';

export { HeaderValidatorError, HeaderValidatorHttpError } from './errors.js';

declare global {
  namespace Express {
    interface Request {
      /** Who authMiddleware from 'header-validator/express' authenticated the request as. */
      auth?: AuthInfo;
    }
  }
}

/** Options of the Express middleware: those of the main entry, with the result always in `req.auth`. */
export interface ExpressAuthOptions extends Omit<AuthOptions<Request>, 'requestProperty'> {
  /** Only 'auth', the property this entry declares; for another, use the main entry's authMiddleware. */
  requestProperty?: 'auth';
}

/** authMiddleware for Express: sets `req.auth` on a request that passes. */
export function authMiddleware(options: ExpressAuthOptions): RequestHandler;
