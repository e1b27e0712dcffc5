import type { IncomingMessage, ServerResponse } from 'node:http';

/** true when `auth_code` is a bcrypt hash of the combination's token. Runs on the calling thread. */
export function validateRequest(auth_code: string, platform: string, userType: string, host: string): boolean;

/**
 * A fresh auth code (bcrypt, cost 12) for the combination, or null when it does not exist. Runs on the
 * calling thread.
 */
export function generateAuthCode(platform: string, userType: string, host: string): string | null;

/**
 * validateRequest on the default validator's worker threads, through its result cache. A call refused before any
 * hashing (a code that no hash can be, a cost above the cap, a combination the table does not have) is answered on
 * the calling thread instead, without the pool.
 */
export function validateRequestAsync(
  auth_code: string,
  platform: string,
  userType: string,
  host: string,
): Promise<boolean>;

/** generateAuthCode on the default validator's worker threads (a combination the table lacks: on this thread). */
export function generateAuthCodeAsync(platform: string, userType: string, host: string): Promise<string | null>;

/** Closes the default validator: calls in flight finish, later async calls reject. */
export function close(): Promise<void>;

/** The default validator's counters. */
export function stats(): ValidatorStats;

/** Bounds of a validator's cache of checked results. */
export interface CacheOptions {
  /** Most valid results kept, 1 to 1,000,000; default 10,000. */
  valid?: number;
  /** Most invalid results kept, 1 to 1,000,000; default 1,000. Invalid results never evict valid ones. */
  invalid?: number;
  /** Milliseconds an entry is kept; default 0, for as long as it is not evicted (a stored answer never goes stale). */
  ttl?: number;
}

export interface ValidatorOptions {
  /** Worker threads, 1 to 256; default: one per available core. */
  threads?: number;
  /** Calls that may wait for a free thread before new ones are refused; default: 16 per thread. */
  maxQueue?: number;
  /** The cache of checked results in front of the pool, or false for none; default: on, with the default bounds. */
  cache?: false | CacheOptions;
}

/** Plain counters of a validator since it was made (all numbers), for a team's metrics. */
export interface ValidatorStats {
  /** validateRequestAsync calls. */
  calls: number;
  /** Calls answered from the cache. */
  cacheHits: number;
  /** Calls that shared a check of the same arguments already in flight, without a queue slot. */
  coalesced: number;
  /** Checks sent to the pool, each of which runs one bcrypt hash. */
  bcryptChecks: number;
  /** Calls answered on the calling thread because the module refuses them without hashing. */
  refusedWithoutHashing: number;
  /** Async calls (validateRequestAsync and generateAuthCodeAsync) rejected with ERR_HEADER_VALIDATOR_OVERLOADED. */
  shed: number;
  /** Calls on the pool now, running or waiting for a thread. */
  inFlight: number;
  /** Of those, the ones waiting for a thread. */
  queued: number;
  /** Results in the cache now: valid ones, and invalid ones. */
  cachedValid: number;
  cachedInvalid: number;
}

export interface Validator {
  validateRequest(auth_code: string, platform: string, userType: string, host: string): boolean;
  generateAuthCode(platform: string, userType: string, host: string): string | null;
  validateRequestAsync(auth_code: string, platform: string, userType: string, host: string): Promise<boolean>;
  generateAuthCodeAsync(platform: string, userType: string, host: string): Promise<string | null>;
  stats(): ValidatorStats;
  close(): Promise<void>;
}

export function createValidator(options?: ValidatorOptions): Validator;

/**
 * `code` of the errors that the async functions reject with, besides argument TypeErrors and the native functions'
 * own errors: a full queue, a closed validator, a pool thread that failed (the pool's error is the `cause`).
 */
export type HeaderValidatorErrorCode =
  'ERR_HEADER_VALIDATOR_OVERLOADED' | 'ERR_HEADER_VALIDATOR_CLOSED' | 'ERR_HEADER_VALIDATOR_WORKER';

export interface HeaderValidatorError extends Error {
  code:
    | HeaderValidatorErrorCode
    /** Loading the package: the module or its manifest cannot be loaded. */
    | 'ERR_HEADER_VALIDATOR_LOAD'
    /** Loading the package with NODE_ENV=production and public demo tokens in the table. */
    | 'ERR_HEADER_VALIDATOR_DEMO_TABLE'
    /** Passed to the framework's error handling when the host function fails; its error is the `cause`. */
    | 'ERR_HEADER_VALIDATOR_HOST';
}

export interface Combination {
  readonly host: string;
  readonly platform: string;
  readonly userType: string;
}

export interface TableInfo {
  /** SHA-256 (hex) of the encoded table the module was built with. */
  readonly sha256: string;
  /** true for the public demo table, which no deployment may use. */
  readonly demo: boolean;
  /** Combinations whose token is a public demo token; above 0, NODE_ENV=production refuses to load the package. */
  readonly demoTokens: number;
  /** host -> platform -> user types. */
  readonly hosts: Readonly<Record<string, Readonly<Record<string, readonly string[]>>>>;
  readonly combinations: readonly Combination[];
  /** Combinations whose token could not be decoded: every code for them is refused. */
  readonly undecodable: number;
}

export function tableInfo(): TableInfo;

/** Who a request was authenticated as; set on `req.auth` (Fastify: `request.auth`). */
export interface AuthInfo {
  platform: string;
  userType: string;
  host: string;
}

export interface AuthHeaderNames {
  /** default 'x-auth-code' */
  authCode?: string;
  /** default 'x-platform' */
  platform?: string;
  /** default 'x-user-type' */
  userType?: string;
}

export interface AuthOptions<Req> {
  /**
   * This deployment's own host name, or a function of the request that returns it. Never the Host header. A function
   * that throws, rejects or returns no non-empty string is a server error: the framework's error handling gets an
   * Error with code 'ERR_HEADER_VALIDATOR_HOST' and status 500, whose `cause` is the original.
   */
  host: string | ((req: Req) => string | Promise<string>);
  /** Default: the module's default validator. */
  validator?: Validator;
  headers?: AuthHeaderNames;
  /**
   * Requests for which it returns (or resolves to) exactly `true` pass unchecked (health checks, CORS
   * preflight). Any other value, a truthy one included, means the request is checked.
   */
  skip?: (req: Req) => boolean | Promise<boolean>;
}

/** (req, res, next) middleware for node:http, Express and Connect. */
export function authMiddleware<Req extends IncomingMessage = IncomingMessage>(
  options: AuthOptions<Req>,
): (req: Req & { auth?: AuthInfo }, res: ServerResponse, next: (err?: unknown) => void) => void;

/** The parts of a Fastify request and reply that the hook uses. */
export interface FastifyLikeRequest {
  raw: IncomingMessage;
}
export interface FastifyLikeReply {
  code(statusCode: number): this;
  headers(values: Record<string, string>): this;
  send(payload?: unknown): this;
}

/** A Fastify onRequest hook: fastify.addHook('onRequest', fastifyAuthHook({ host })). */
export function fastifyAuthHook<
  Req extends FastifyLikeRequest = FastifyLikeRequest,
  Reply extends FastifyLikeReply = FastifyLikeReply,
>(options: AuthOptions<Req>): (request: Req & { auth?: AuthInfo }, reply: Reply) => Promise<Reply | undefined>;
