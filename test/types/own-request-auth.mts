// An Express app in which another library (a JWT middleware, say) declares
// Request.auth with a type of its own: the main entry declares nothing global,
// so this compiles beside it, with the result under another property. Compiled
// on its own: the program of the other usage files declares Request.auth too.
import express from 'express';
import { authMiddleware, type AuthInfo } from 'header-validator';

declare global {
  // eslint-disable-next-line @typescript-eslint/no-namespace -- how Express's Request is augmented
  namespace Express {
    interface Request {
      auth?: { sub: string; scopes: string[] };
    }
  }
}

const app = express();
app.use(authMiddleware({ host: 'example.com', requestProperty: 'headerAuth' }));
app.use(authMiddleware<express.Request>({ host: (req) => req.hostname, requestProperty: 'headerAuth' }));
app.get('/orders', (req, res) => {
  const subject: string | undefined = req.auth?.sub;
  const client: AuthInfo | undefined = (req as express.Request & { headerAuth?: AuthInfo }).headerAuth;
  res.json({ subject, client });
});

export { app };
