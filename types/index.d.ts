import type { IncomingHttpHeaders, IncomingMessage, ServerResponse } from 'node:http';

export { HeaderValidatorError, type HeaderValidatorErrorCode } from './errors.js';

// Express's Request gains `auth` wherever Express's types are installed; without
// them this declares an interface nothing uses.
declare global {
  namespace Express {
    interface Request {
      /** Who authMiddleware authenticated the request as. */
      auth?: AuthInfo;
    }
  }
}

/**
 * true when `auth_code` is a bcrypt hash of the combination's token. Runs on the calling thread. Throws an Error
 * "Failed to check auth code" when a well-formed code could not be hashed (a fault of the server, such as memory
 * that could not be allocated), which says nothing about the code.
 */
export function validateRequest(auth_code: string, platform: string, userType: string, host: string): boolean;

/**
 * A fresh auth code (bcrypt, cost 12) for the combination, or null when it does not exist. Runs on the
 * calling thread.
 */
export function generateAuthCode(platform: string, userType: string, host: string): string | null;

/**
 * validateRequest on the default validator's worker threads, through its result cache. A call refused before any
 * hashing (a code that no hash can be, a cost above the cap, a combination the table does not have) is answered on
 * the calling thread instead, without the pool. A check that could not hash rejects with code
 * 'ERR_HEADER_VALIDATOR_HASH_FAILED', and is never cached.
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
  /** Most valid results kept, 1 to 1,000,000; default 100,000. */
  valid?: number;
  /** Most invalid results kept, 1 to 1,000,000; default 1,000. Invalid results never evict valid ones. */
  invalid?: number;
  /** Milliseconds a valid result is kept; default 0, for as long as it is not evicted (it never goes stale). */
  ttl?: number;
  /** Milliseconds an invalid result is kept; default 60,000; 0 for as long as it is not evicted. */
  invalidTtl?: number;
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
  /** The table whose tokens this one replaces, built in beside it; null when the build has none. */
  readonly previous: PreviousTableInfo | null;
}

/** What a build's previous table changes: counts of combinations, never names or tokens. */
export interface PreviousTableInfo {
  /** SHA-256 (hex) of the encoded previous table. */
  readonly sha256: string;
  /** The end of the overlap, as an ISO 8601 UTC instant such as '2027-03-01T00:00:00.000Z'. */
  readonly until: string;
  /** Combinations whose previous token differs from the current one: it verifies too, until `until`. */
  readonly rotated: number;
  /** Combinations with the same token in both tables. */
  readonly unchanged: number;
  /** Combinations of the current table only. */
  readonly added: number;
  /** Combinations of the previous table only: refused. */
  readonly removed: number;
  /** Combinations of the previous table whose token is a public demo token. */
  readonly demoTokens: number;
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
   * preflight). Any other value, a truthy one included, means the request is checked. One that throws or rejects
   * is a server error: code 'ERR_HEADER_VALIDATOR_SKIP', status 500, the original as `cause`.
   */
  skip?: (req: Req) => boolean | Promise<boolean>;
  /**
   * Hand refusals to the application's error handling instead of answering them: a HeaderValidatorError with
   * `status`/`statusCode` 401 (code 'ERR_HEADER_VALIDATOR_UNAUTHORIZED') or 503 (the overload, closed, worker or
   * hash-failed code) and the answer's `headers` (WWW-Authenticate, Retry-After). Default false.
   */
  failWithError?: boolean;
}

/** (req, res, next) middleware for node:http, Express and Connect. */
export function authMiddleware<Req extends IncomingMessage = IncomingMessage>(
  options: AuthOptions<Req>,
): (req: Req & { auth?: AuthInfo }, res: ServerResponse, next: (err?: unknown) => void) => void;

/**
 * The parts of a Fastify request that the hook and its callbacks use, for code without Fastify's types; with them,
 * import fastifyAuthHook from 'header-validator/fastify' to get FastifyRequest itself.
 */
export interface FastifyLikeRequest {
  raw: IncomingMessage;
  method: string;
  url: string;
  hostname: string;
  headers: IncomingHttpHeaders;
  ip: string;
}
export interface FastifyLikeReply {
  code(statusCode: number): this;
  headers(values: Record<string, string>): this;
  send(payload?: unknown): this;
}

/**
 * A Fastify onRequest hook: fastify.addHook('onRequest', fastifyAuthHook({ host })). The plugin in
 * 'header-validator/fastify' registers the same check with Fastify's own types.
 */
export function fastifyAuthHook<
  Req extends FastifyLikeRequest = FastifyLikeRequest,
  Reply extends FastifyLikeReply = FastifyLikeReply,
>(options: AuthOptions<Req>): (request: Req & { auth?: AuthInfo }, reply: Reply) => Promise<Reply | undefined>;
