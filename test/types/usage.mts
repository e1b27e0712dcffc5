// Compiled with tsc --noEmit by the test suite: everything exported must be
// declared, and declared precisely enough that misuse is a type error.
import http from 'node:http';
import express from 'express';
import Fastify from 'fastify';
import headerValidator, {
  authMiddleware,
  close,
  createValidator,
  fastifyAuthHook,
  generateAuthCode,
  generateAuthCodeAsync,
  stats,
  tableInfo,
  validateRequest,
  validateRequestAsync,
  type AuthInfo,
  type TableInfo,
  type Validator,
  type ValidatorStats,
} from 'header-validator';

const code: string | null = generateAuthCode('ANDROID', 'STORE', 'example.com');
const valid: boolean = validateRequest(code ?? '', 'ANDROID', 'STORE', 'example.com');
const later: Promise<boolean> = validateRequestAsync('$2a$12$...', 'ANDROID', 'STORE', 'example.com');
const fresh: Promise<string | null> = generateAuthCodeAsync('ANDROID', 'STORE', 'example.com');
// @ts-expect-error the async check resolves to a boolean, not a string
const wrong: Promise<string> = validateRequestAsync('x', 'ANDROID', 'STORE', 'example.com');
// @ts-expect-error four strings are required
validateRequest('x', 'ANDROID', 'STORE');

const validator: Validator = createValidator({ threads: 2, maxQueue: 32 });
// @ts-expect-error unknown option
createValidator({ maxThreads: 2 });
const closed: Promise<void> = validator.close();
const closedDefault: Promise<void> = close();
const uncached: Validator = createValidator({ cache: false });
createValidator({ cache: { valid: 5000, invalid: 500, ttl: 60_000 } });
// @ts-expect-error unknown cache option
createValidator({ cache: { size: 10 } });
const counters: ValidatorStats = uncached.stats();
const hashes: number = stats().bcryptChecks + counters.cacheHits;

const info: TableInfo = tableInfo();
const fingerprint: string = info.sha256;
const isDemo: boolean = info.demo;
const demoTokens: number = info.demoTokens;
const userTypes: readonly string[] = info.hosts['example.com']?.['ANDROID'] ?? [];
const firstHost: string | undefined = info.combinations[0]?.host;
// @ts-expect-error the table info is read-only
info.demo = false;

// node:http
const httpAuth = authMiddleware({ host: 'example.com', validator, skip: (req) => req.url === '/health' });
http.createServer((req, res) =>
  httpAuth(req, res, (err) => {
    const who: AuthInfo | undefined = (req as http.IncomingMessage & { auth?: AuthInfo }).auth;
    res.end(err ? 'error' : JSON.stringify(who));
  }),
);

// Express
const app = express();
app.use(authMiddleware({ host: (req) => (req.socket.localPort === 8443 ? 'example.com' : 'staging.example.com') }));
app.use(
  authMiddleware({ host: 'example.com', headers: { authCode: 'x-code' }, skip: (req) => req.method === 'OPTIONS' }),
);
// @ts-expect-error host is required
authMiddleware({ validator });

// Fastify
const fastify = Fastify();
fastify.addHook(
  'onRequest',
  fastifyAuthHook({ host: 'example.com', skip: (request) => request.raw.method === 'OPTIONS' }),
);

export {
  valid,
  later,
  fresh,
  wrong,
  closed,
  closedDefault,
  hashes,
  fingerprint,
  isDemo,
  demoTokens,
  userTypes,
  firstHost,
  headerValidator,
};
