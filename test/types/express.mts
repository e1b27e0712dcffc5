// An Express 5 app through 'header-validator/express': req.auth is typed on
// Express's own Request, the options' callbacks get Express's request, and the
// error handler of failWithError compiles under --strict without assertions.
import express from 'express';
import type { NextFunction, Request, Response } from 'express';
import { authMiddleware, HeaderValidatorHttpError } from 'header-validator/express';
import type { AuthInfo, HttpFailureReason } from 'header-validator';

const app = express();
app.use(authMiddleware({ host: (req) => (req.hostname === 'localhost' ? 'example.com' : req.hostname) }));
app.use(
  authMiddleware({ host: 'example.com', headers: { authCode: 'x-code' }, skip: (req) => req.method === 'OPTIONS' }),
);
app.use(authMiddleware({ host: 'example.com', failWithError: true }));
app.get('/orders', (req, res) => {
  const who: AuthInfo | undefined = req.auth;
  res.json({ who: req.auth, platform: who?.platform });
});
app.use((err: unknown, _req: Request, res: Response, next: NextFunction) => {
  if (!(err instanceof HeaderValidatorHttpError)) return next(err);
  const reason: HttpFailureReason = err.reason;
  res
    .status(err.statusCode)
    .set(err.headers)
    .json({ error: err.code, retry: err.statusCode === 503, reason });
});
// @ts-expect-error auth is read-only information, not a string
const notAString: string = ({} as express.Request).auth;
// @ts-expect-error this entry types req.auth only: another property is the main entry's
authMiddleware({ host: 'example.com', requestProperty: 'headerAuth' });

export { app, notAString };
