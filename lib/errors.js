'use strict';

// Every error that the package makes with an ERR_HEADER_VALIDATOR_* code is a
// HeaderValidatorError made here, so that `catch (err)` can narrow with
// instanceof. This file loads nothing else but the demo switches' names
// (which load nothing): `header-validator/errors` works even where the native
// module cannot load, to catch exactly that.

const { DEMO_TOKEN_SWITCHES } = require('./demo-switches');

const codes = Object.freeze({
  /** The native module, its manifest or another file the package ships cannot be loaded. */
  LOAD: 'ERR_HEADER_VALIDATOR_LOAD',
  /** NODE_ENV=production with a table that holds public demo tokens. */
  DEMO_TABLE: 'ERR_HEADER_VALIDATOR_DEMO_TABLE',
  /** Every thread is busy and the queue is full. */
  OVERLOADED: 'ERR_HEADER_VALIDATOR_OVERLOADED',
  /** The validator has been closed, or is closing. */
  CLOSED: 'ERR_HEADER_VALIDATOR_CLOSED',
  /** A pool thread failed before it could answer. */
  WORKER: 'ERR_HEADER_VALIDATOR_WORKER',
  /** The check could not hash the code (a fault of the server, not an answer about the code). */
  HASH_FAILED: 'ERR_HEADER_VALIDATOR_HASH_FAILED',
  /** The middleware could not resolve the deployment's host. */
  HOST: 'ERR_HEADER_VALIDATOR_HOST',
  /** The middleware's skip function failed. */
  SKIP: 'ERR_HEADER_VALIDATOR_SKIP',
  /** The middleware refused a request (only with failWithError). */
  UNAUTHORIZED: 'ERR_HEADER_VALIDATOR_UNAUTHORIZED',
  /** The encoder refused a plain token file; `problems` lists every fault. */
  TABLE_REFUSED: 'ERR_HEADER_VALIDATOR_TABLE_REFUSED',
  /** An environment variable that the package reads holds a value it does not take. */
  ENVIRONMENT: 'ERR_HEADER_VALIDATOR_ENVIRONMENT',
});

const KNOWN_CODES = new Set(Object.values(codes));

class HeaderValidatorError extends Error {
  /**
   * @param {string} code one of `codes`
   * @param {string} message
   * @param {{ cause?: unknown, status?: number, headers?: Record<string, string>, reason?: string }} [options]
   *   status and headers for errors that stand for an HTTP answer, in the fields Express's and Fastify's error
   *   handlers read; reason: the word the check events use for what went wrong
   */
  constructor(code, message, { cause, status, headers, reason } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.code = code;
    if (status !== undefined) {
      this.status = status;
      this.statusCode = status;
      // http-errors' convention: a client error's message may be shown, a server error's not.
      this.expose = status < 500;
    }
    if (headers !== undefined) this.headers = headers;
    if (reason !== undefined) this.reason = reason;
  }
}

/**
 * What the middleware, the Fastify hook and the plugin hand to the application's
 * error handling: always with status, statusCode, headers and reason.
 */
class HeaderValidatorHttpError extends HeaderValidatorError {
  /**
   * @param {string} code one of `codes`
   * @param {string} message
   * @param {{ status: number, headers: Record<string, string>, reason: string, cause?: unknown }} options
   */
  constructor(code, message, { status, headers, reason, cause }) {
    super(code, message, { status, headers, reason, cause });
  }
}

for (const ErrorClass of [HeaderValidatorError, HeaderValidatorHttpError]) {
  Object.defineProperty(ErrorClass.prototype, 'name', {
    value: ErrorClass.name,
    enumerable: false,
    configurable: true,
    writable: true,
  });
}

const loadError = (reason, cause) =>
  new HeaderValidatorError(codes.LOAD, `header-validator: cannot load the native module: ${reason}`, { cause });

const manifestError = (message, cause) =>
  new HeaderValidatorError(codes.LOAD, `header-validator: ${message}`, { cause });

// A file the package ships and reads (such as the encoder's table format)
// missing or not as shipped: a broken installation, like a module that cannot
// load, and never a fault of the caller's input.
const packageFile = (file, problem, cause) =>
  new HeaderValidatorError(
    codes.LOAD,
    `header-validator: broken package file ${file}: ${problem} (reinstall the package)`,
    { cause },
  );

const overloaded = () =>
  new HeaderValidatorError(codes.OVERLOADED, 'header-validator: too many checks are waiting; try again later');

const closed = () =>
  new HeaderValidatorError(
    codes.CLOSED,
    'header-validator: this validator has been closed (or is closing) and accepts no more calls',
  );

// The pool failed (a thread died or could not start), not the check itself.
const worker = (cause) =>
  new HeaderValidatorError(
    codes.WORKER,
    'header-validator: a worker thread failed before it could answer; try again later',
    { cause },
  );

// The native check could not hash a well-formed code (its work area could not
// be allocated, say): no answer about the code, so never stored or read as
// "invalid", and likely to succeed if retried.
const hashFailed = (cause) =>
  new HeaderValidatorError(
    codes.HASH_FAILED,
    'header-validator: the auth code could not be checked (hashing failed); try again later',
    { cause },
  );

// What the client may end up seeing: the original stays in `cause`, for the
// application's own error handler only.
const host = (cause) =>
  new HeaderValidatorHttpError(
    codes.HOST,
    "header-validator: could not resolve this deployment's host for the request",
    { cause, status: 500, headers: {}, reason: 'host' },
  );

// The same for a skip function that throws or rejects: never a pass, and
// nothing of its error for the client.
const skip = (cause) =>
  new HeaderValidatorHttpError(codes.SKIP, 'header-validator: could not decide whether to check the request', {
    cause,
    status: 500,
    headers: {},
    reason: 'skip',
  });

const demoTable = (count) =>
  new HeaderValidatorError(
    codes.DEMO_TABLE,
    `header-validator: refusing to run with NODE_ENV=production: this build's token table holds ${count} public ` +
      `demo token${count === 1 ? '' : 's'}, with which anyone can make valid auth codes. Build with your own table ` +
      '(HEADER_VALIDATOR_TABLE=/abs/path/table.json npm run build); for a throwaway environment only, set ' +
      `${DEMO_TOKEN_SWITCHES.production.name}=1.`,
  );

/**
 * An environment variable set to a value the package does not take.
 * @param {string} printable the value, made printable by the caller
 * @param {string} takes what the variable takes, and what each value does
 */
const environment = (name, printable, takes) =>
  new HeaderValidatorError(codes.ENVIRONMENT, `header-validator: ${name}='${printable}' is not ${takes}`);

/**
 * An HTTP answer of the middleware as an error, for an application that
 * handles them itself (failWithError): 401, or 503 for a busy, closed or
 * failing pool or a check that could not hash, with the response headers the
 * answer would have carried and the reason of the check's event.
 */
const httpFailure = ({ status, headers, reason }, cause) =>
  status === 401
    ? new HeaderValidatorHttpError(codes.UNAUTHORIZED, 'header-validator: the request is not authenticated', {
        status,
        headers,
        reason,
      })
    : new HeaderValidatorHttpError(cause?.code ?? codes.OVERLOADED, cause?.message ?? overloaded().message, {
        cause,
        status,
        headers,
        reason,
      });

/**
 * The encoder's refusal of an input file: one line per problem, each naming its
 * place and never a token, then what to do about them.
 * @param {string[]} problems
 * @param {string[]} [hints]
 */
function tableRefused(problems, hints = []) {
  const err = new HeaderValidatorError(codes.TABLE_REFUSED, [...problems, ...hints].join('\n'));
  err.problems = problems;
  err.hints = hints;
  return err;
}

/** Whether err is one of the package's own errors, even one rebuilt from another thread's copy. */
const isCode = (code) => typeof code === 'string' && KNOWN_CODES.has(code);

module.exports = {
  HeaderValidatorError,
  HeaderValidatorHttpError,
  codes,
  isCode,
  loadError,
  manifestError,
  packageFile,
  overloaded,
  closed,
  worker,
  hashFailed,
  host,
  skip,
  demoTable,
  environment,
  httpFailure,
  tableRefused,
};
