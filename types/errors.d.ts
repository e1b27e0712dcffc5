// `header-validator/errors`: loads nothing but itself, so that a failure to
// load the native module can be caught with instanceof.

/** `code` of every error the package makes. */
export type HeaderValidatorErrorCode =
  /** The native module, its manifest or another file the package ships cannot be loaded. */
  | 'ERR_HEADER_VALIDATOR_LOAD'
  /**
   * NODE_ENV=production with public demo tokens in the table
   * (HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PRODUCTION=1 overrides).
   */
  | 'ERR_HEADER_VALIDATOR_DEMO_TABLE'
  /** Every thread is busy and the queue is full: shed, try again later (503 behind the middleware). */
  | 'ERR_HEADER_VALIDATOR_OVERLOADED'
  /** The validator has been closed, or is closing (503 with {"error":"unavailable"} behind the middleware). */
  | 'ERR_HEADER_VALIDATOR_CLOSED'
  /** A pool thread failed before it could answer; the pool's error is the `cause` (503 behind the middleware). */
  | 'ERR_HEADER_VALIDATOR_WORKER'
  /**
   * A well-formed code could not be hashed (a fault of the server, not an answer about the code): never cached,
   * worth retrying (503 behind the middleware). The synchronous validateRequest throws a plain Error instead.
   */
  | 'ERR_HEADER_VALIDATOR_HASH_FAILED'
  /** The middleware's host function failed or returned no host; its error is the `cause` (status 500). */
  | 'ERR_HEADER_VALIDATOR_HOST'
  /** The middleware's skip function threw or rejected; its error is the `cause` (status 500). */
  | 'ERR_HEADER_VALIDATOR_SKIP'
  /** The middleware refused the request (status 401): with failWithError, and from fastify.verifyAuthCode. */
  | 'ERR_HEADER_VALIDATOR_UNAUTHORIZED'
  /** The encoder refused a plain token file (every fault in its message, one line each). */
  | 'ERR_HEADER_VALIDATOR_TABLE_REFUSED'
  /** An environment variable the package reads holds a value it does not take (HEADER_VALIDATOR_PREVIOUS). */
  | 'ERR_HEADER_VALIDATOR_ENVIRONMENT';

/** The codes by name. */
export declare const codes: Readonly<{
  LOAD: 'ERR_HEADER_VALIDATOR_LOAD';
  DEMO_TABLE: 'ERR_HEADER_VALIDATOR_DEMO_TABLE';
  OVERLOADED: 'ERR_HEADER_VALIDATOR_OVERLOADED';
  CLOSED: 'ERR_HEADER_VALIDATOR_CLOSED';
  WORKER: 'ERR_HEADER_VALIDATOR_WORKER';
  HASH_FAILED: 'ERR_HEADER_VALIDATOR_HASH_FAILED';
  HOST: 'ERR_HEADER_VALIDATOR_HOST';
  SKIP: 'ERR_HEADER_VALIDATOR_SKIP';
  UNAUTHORIZED: 'ERR_HEADER_VALIDATOR_UNAUTHORIZED';
  TABLE_REFUSED: 'ERR_HEADER_VALIDATOR_TABLE_REFUSED';
  ENVIRONMENT: 'ERR_HEADER_VALIDATOR_ENVIRONMENT';
}>;

/** Why a check answered invalid: the reason on a 401's error and in the check's event, never in the 401's body. */
export type RefusalReason =
  | 'missing-header'
  | 'repeated-header'
  | 'unknown-combination'
  /** Not a code any hash can be, its cost above the cap included. */
  | 'malformed-code'
  | 'mismatch';

/** Why a check was not made: every thread busy and the queue full, or the validator closed (or closing). */
export type ShedReason = 'overloaded' | 'closed';

/** Why a check failed: a pool thread, the hash, the middleware's host function, or anything else. */
export type CheckErrorReason = 'worker' | 'hash-failed' | 'host' | 'internal';

/** The reason on an error that the middleware, hook or plugin hands to the application. */
export type HttpFailureReason = RefusalReason | ShedReason | 'worker' | 'hash-failed' | 'host' | 'skip';

/** Every error the package makes with an ERR_HEADER_VALIDATOR_* code, those from worker threads included. */
export declare class HeaderValidatorError extends Error {
  constructor(
    code: HeaderValidatorErrorCode,
    message: string,
    options?: { cause?: unknown; status?: number; headers?: Record<string, string>; reason?: HttpFailureReason },
  );
  code: HeaderValidatorErrorCode;
  /** For an error that stands for an HTTP answer: 401, 500 or 503 (also in `statusCode`). */
  status?: number;
  statusCode?: number;
  /** Whether the message may be shown to a client (true below 500). */
  expose?: boolean;
  /** The headers the answer carries: WWW-Authenticate on a 401, Retry-After on a 503. */
  headers?: Record<string, string>;
  /** Why: on every HeaderValidatorHttpError. */
  reason?: HttpFailureReason;
}

/**
 * What the middleware, the Fastify hook and the plugin hand to the application's error handling (with
 * failWithError, from fastify.verifyAuthCode, and for a failing host or skip function): status, statusCode,
 * headers and reason are always there. `instanceof` narrows to it.
 */
export declare class HeaderValidatorHttpError extends HeaderValidatorError {
  constructor(
    code: HeaderValidatorErrorCode,
    message: string,
    options: { status: number; headers: Record<string, string>; reason: HttpFailureReason; cause?: unknown },
  );
  /** 401 (a refusal), 500 (a failing host or skip function) or 503 (retry later). */
  status: number;
  statusCode: number;
  expose: boolean;
  /** The answer's headers: WWW-Authenticate on a 401, Retry-After on a 503, none on a 500. */
  headers: Record<string, string>;
  reason: HttpFailureReason;
}
