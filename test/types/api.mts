// Compiled with tsc --noEmit by the test suite: everything the main entry
// exports must be declared precisely enough that misuse is a type error. Uses
// node:http only; the same file compiles where neither Express's nor Fastify's
// types are installed (the test checks that too).
import diagnosticsChannel from 'node:diagnostics_channel';
import http from 'node:http';
import headerValidator, {
  authMiddleware,
  close,
  createValidator,
  fastifyAuthHook,
  generateAuthCode,
  generateAuthCodeAsync,
  HeaderValidatorError,
  rotation,
  stats,
  tableInfo,
  validateRequest,
  validateRequestAsync,
  type AuthInfo,
  type CheckMessage,
  type HeaderValidatorErrorCode,
  type RefusalReason,
  type RotationStatus,
  type TableInfo,
  type Validator,
  type ValidatorStats,
} from 'header-validator';
import { HeaderValidatorError as FromErrors, codes } from 'header-validator/errors';

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
createValidator({ cache: { valid: 5000, invalid: 500, ttl: 60_000, invalidTtl: 0 } });
// @ts-expect-error unknown cache option
createValidator({ cache: { size: 10 } });
const quiet: Validator = createValidator({ nativeDiagnostics: false });
const counted: ValidatorStats = uncached.stats();
const hashes: number = stats().counters.bcryptChecks + counted.counters.cacheHits + counted.gauges.inFlight;
const mismatches: number = counted.counters.invalid.mismatch + counted.counters.shed.closed;
// @ts-expect-error refusals are counted by reason
const refusals: number = counted.counters.invalid;

// A token rotation: valid answers by token, the overlap per combination, early retirement.
const byPrevious: number = counted.counters.validByToken.previous;
const retiring: Validator = createValidator({ previous: false });
const overlap: RotationStatus = retiring.rotation();
const lastSeen: string | null = rotation().combinations[0]?.lastValidAt ?? null;
const overlapEnd: string | undefined = tableInfo().previous?.since ?? overlap.until ?? undefined;
// @ts-expect-error retired with false, not a word
createValidator({ previous: 'off' });

// The check events: the message type narrows on its outcome.
diagnosticsChannel.subscribe('header-validator:check', (message) => {
  const check = message as CheckMessage;
  if (check.outcome === 'invalid') {
    const reason: RefusalReason = check.reason;
    console.log(reason, check.platform ?? '-', check.cache, check.durationMs);
  }
  // @ts-expect-error a valid check has no reason
  if (check.outcome === 'valid') console.log(check.reason.length);
});

const info: TableInfo = tableInfo();
const fingerprint: string = info.sha256;
const isDemo: boolean = info.demo;
const demoTokens: number = info.demoTokens;
const userTypes: readonly string[] = info.hosts['example.com']?.['ANDROID'] ?? [];
const firstHost: string | undefined = info.combinations[0]?.host;
// @ts-expect-error the table info is read-only
info.demo = false;

// catch (err) narrows to the package's errors, from either entry.
async function check(auth: string): Promise<'ok' | 'denied' | 'busy'> {
  try {
    return (await validateRequestAsync(auth, 'ANDROID', 'STORE', 'example.com')) ? 'ok' : 'denied';
  } catch (err) {
    if (err instanceof HeaderValidatorError && err.code === codes.OVERLOADED) return 'busy';
    if (err instanceof FromErrors) {
      const known: HeaderValidatorErrorCode = err.code;
      // @ts-expect-error not a code of ours
      const unknown: HeaderValidatorErrorCode = 'ERR_SOMETHING_ELSE';
      throw new Error(`${known} ${unknown}`, { cause: err });
    }
    throw err;
  }
}

// node:http, with refusals handed to the application.
const httpAuth = authMiddleware({ host: 'example.com', validator, skip: async (req) => req.url === '/health' });
const httpFails = authMiddleware({ host: 'example.com', failWithError: true });
http.createServer((req, res) =>
  httpAuth(req, res, (err) => {
    // node:http's request has no auth property of its own.
    const who: AuthInfo | undefined = (req as typeof req & { auth?: AuthInfo }).auth;
    const token: 'current' | 'previous' | undefined = who?.token;
    if (err instanceof HeaderValidatorError) {
      res.writeHead(err.statusCode ?? 500, err.headers).end();
      return;
    }
    res.end(err ? 'error' : JSON.stringify([who, token]));
  }),
);
// @ts-expect-error host is required
authMiddleware({ validator });
// @ts-expect-error skip answers a boolean
authMiddleware({ host: 'example.com', skip: (req) => req.url });
authMiddleware({ host: 'example.com', requestProperty: 'headerAuth', deprecationHeaders: false });
// @ts-expect-error the property is named by a string
authMiddleware({ host: 'example.com', requestProperty: Symbol('auth') });

// The hook from the main entry, without Fastify's types: callbacks see the parts of a request it declares.
const hook = fastifyAuthHook({ host: (req) => req.hostname, skip: (req) => req.method === 'OPTIONS' });

export { valid, later, fresh, wrong, closed, closedDefault, fingerprint, isDemo, demoTokens, userTypes, firstHost };
export { headerValidator, check, httpFails, hook, hashes, quiet, mismatches, refusals };
export { byPrevious, lastSeen, overlapEnd };
