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
  /** The validator has been closed. */
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
  | 'ERR_HEADER_VALIDATOR_TABLE_REFUSED';

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
}>;

/** Every error the package makes with an ERR_HEADER_VALIDATOR_* code, those from worker threads included. */
export declare class HeaderValidatorError extends Error {
  constructor(
    code: HeaderValidatorErrorCode,
    message: string,
    options?: { cause?: unknown; status?: number; headers?: Record<string, string> },
  );
  code: HeaderValidatorErrorCode;
  /** For an error that stands for an HTTP answer: 401, 500 or 503 (also in `statusCode`). */
  status?: number;
  statusCode?: number;
  /** Whether the message may be shown to a client (true below 500). */
  expose?: boolean;
  /** The headers the answer carries: WWW-Authenticate on a 401, Retry-After on a 503. */
  headers?: Record<string, string>;
}
