// An Express 5 app: req.auth is typed on Express's own Request, and an explicit
// type argument gives inline callbacks Express's request.
import express from 'express';
import { authMiddleware, HeaderValidatorError, type AuthInfo } from 'header-validator';

const app = express();
app.use(
  authMiddleware<express.Request>({ host: (req) => (req.hostname === 'localhost' ? 'example.com' : req.hostname) }),
);
app.use(
  authMiddleware({ host: 'example.com', headers: { authCode: 'x-code' }, skip: (req) => req.method === 'OPTIONS' }),
);
app.use(authMiddleware({ host: 'example.com', failWithError: true }));
app.get('/orders', (req, res) => {
  const who: AuthInfo | undefined = req.auth;
  res.json({ who: req.auth, platform: who?.platform });
});
app.use((err: unknown, _req: express.Request, res: express.Response, next: express.NextFunction) => {
  if (!(err instanceof HeaderValidatorError)) return next(err);
  res
    .status(err.statusCode ?? 500)
    .set(err.headers ?? {})
    .json({ error: err.code });
});
// @ts-expect-error auth is read-only information, not a string
const notAString: string = ({} as express.Request).auth;

export { app, notAString };
