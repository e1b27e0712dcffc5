import type { IncomingHttpHeaders, IncomingMessage, ServerResponse } from 'node:http';

import type { RefusalReason, ShedReason, CheckErrorReason } from './errors.js';

export {
  HeaderValidatorError,
  HeaderValidatorHttpError,
  type HeaderValidatorErrorCode,
  type RefusalReason,
  type ShedReason,
  type CheckErrorReason,
  type HttpFailureReason,
} from './errors.js';

// This entry declares nothing global: `req.auth` on Express's Request is declared by
// 'header-validator/express', and on Fastify's request by 'header-validator/fastify'.

/**
 * true when `auth_code` is a bcrypt hash of the combination's token in the current table (never its previous
 * token: during a rotation, only the async checks accept that). Runs on the calling thread. Throws an Error
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
 * 'ERR_HEADER_VALIDATOR_HASH_FAILED', and is never cached. During a token rotation, a code of a rotated
 * combination's previous token is valid too, until the end of the overlap (see rotation()).
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

/** The default validator's counters and gauges. */
export function stats(): ValidatorStats;

/** The token rotation as the default validator sees it (the middleware's, unless given another). */
export function rotation(): RotationStatus;

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
  /**
   * true (default): a check of names the table does not have is answered by the native function, which writes its
   * lookup's line to standard error, as the synchronous validateRequest does. false: such checks (and
   * generateAuthCodeAsync for such names) are answered without calling it, so nothing is written; the
   * synchronous functions still write their lines.
   */
  nativeDiagnostics?: boolean;
  /**
   * false: codes of the build's previous tokens are refused at once, before the end of the overlap (early
   * retirement). Default true: they are valid for the combinations the build rotates until
   * `tableInfo().previous.until`. HEADER_VALIDATOR_PREVIOUS=off in the environment retires them for every validator
   * of the process, whatever this says.
   */
  previous?: boolean;
  /**
   * The fleet's shared level behind the cache of checked results: answers kept in Redis (or Valkey) for every
   * process of this build, so that a new code is hashed once in all. Default: none. See docs/operations.md,
   * "Scaling out".
   */
  redis?: RedisOptions;
}

/**
 * The three commands the shared level sends, in node-redis's calling convention. A connected node-redis client
 * (v5 or later: createClient, createCluster, createSentinel) has them; for ioredis, use fromIoredis().
 */
export interface SharedLevelClient {
  get(key: string): Promise<unknown>;
  set(
    key: string,
    value: string,
    options: { expiration: { type: 'PX'; value: number }; condition?: 'NX' },
  ): Promise<unknown>;
  eval(script: string, options: { keys: string[]; arguments: string[] }): Promise<unknown>;
}

/** createValidator's `redis` option. Unknown names, here and in `ttl` and `lock`, are a TypeError. */
export interface RedisOptions {
  /** The application's connected client; the validator never closes it. */
  client: SharedLevelClient;
  /** A secret of your own, at least 32 bytes, mixed into the keys with the build's fleet key; default none. */
  secret?: string | Uint8Array;
  /** What every key starts with: up to 64 printable ASCII characters, no spaces; default 'header-validator:'. */
  prefix?: string;
  /** Milliseconds an answer is kept in Redis: valid ones (default 86,400,000, a day), invalid ones (60,000). */
  ttl?: { valid?: number; invalid?: number };
  /** The time limit of each Redis command, 1 to 10,000 ms; default 50. Past it the check is hashed here. */
  timeoutMs?: number;
  /** After a command fails or times out, how long Redis is left alone, 0 to 600,000 ms; default 1,000. */
  backoffMs?: number;
  /**
   * waitMs: how long a process waits for another one's hash of the same code before hashing itself, and how long
   * a pending mark lives (1 to 60,000; default 5,000); pollMs: how often it reads the entry meanwhile (default 10).
   */
  lock?: { waitMs?: number; pollMs?: number };
}

/** The parts of an ioredis Redis or Cluster that fromIoredis calls. */
export interface IoredisLike {
  get(key: string): Promise<string | null>;
  set(key: string, value: string, px: 'PX', milliseconds: number): Promise<unknown>;
  set(key: string, value: string, px: 'PX', milliseconds: number, nx: 'NX'): Promise<unknown>;
  eval(script: string, numberOfKeys: number, ...keysAndArguments: string[]): Promise<unknown>;
}

/** A connected ioredis Redis or Cluster as the shared level's client: createValidator({ redis: { client } }). */
export function fromIoredis(redis: IoredisLike): SharedLevelClient;

/**
 * Counters of a validator's checks since it was made: they only ever grow. A check is one call of
 * validateRequestAsync with four strings, or one request that the middleware, hook or plugin checked with this
 * validator (not one it skipped).
 */
export interface ValidatorCounters {
  /** Checks answered valid. */
  valid: number;
  /** Of those, by the token the code matched: the combination's current one, or its previous one (a rotation). */
  validByToken: Record<'current' | 'previous', number>;
  /** Checks answered invalid, by reason (the middleware's refusals of missing or repeated headers included). */
  invalid: Record<RefusalReason, number>;
  /** Checks not made: every thread busy and the queue full, or the validator closed (or closing). */
  shed: Record<ShedReason, number>;
  /** Checks that failed: a pool thread, the hash, the middleware's host function, or anything else. */
  error: Record<CheckErrorReason, number>;
  /** Checks answered from the cache. */
  cacheHits: number;
  /** Checks that shared a check of the same arguments already in flight, without a queue slot. */
  coalesced: number;
  /**
   * Checks sent to the pool, each of which runs one bcrypt hash (two for a code of a rotated combination that does
   * not match its current token, while its previous one is accepted).
   */
  bcryptChecks: number;
  /** The shared level's counters; only on a validator made with the `redis` option. */
  shared?: SharedLevelCounters;
}

/** What the shared level (createValidator's `redis` option) did, since the validator was made. */
export interface SharedLevelCounters {
  /** Checks answered from Redis, without a hash (their events say cache: 'shared'). */
  hits: number;
  /** Checks that Redis had no answer for: hashed here, and the answer stored. */
  misses: number;
  /** Checks hashed here because Redis failed, timed out, or was being left alone after a failure. */
  unavailable: number;
  /** Checks that waited for another process's hash of the same code. */
  lockWaits: number;
  /** Values found in Redis that this build did not write under that key: each deleted, and hashed anew. */
  integrityFailures: number;
  /** Redis commands that failed or timed out. */
  errors: number;
}

/** What a validator holds now: these go up and down. */
export interface ValidatorGauges {
  /** Calls on the pool now, running or waiting for a thread. */
  inFlight: number;
  /** Of those, the ones waiting for a thread. */
  queued: number;
  /** Results in the cache now: valid ones, and invalid ones. */
  cachedValid: number;
  cachedInvalid: number;
}

/** stats(): a new object on every call, the caller's to keep. */
export interface ValidatorStats {
  counters: ValidatorCounters;
  gauges: ValidatorGauges;
  /** @deprecated the total of `counters`' outcomes (not enumerable; use `counters`) */
  readonly calls: number;
  /** @deprecated use `counters.cacheHits` */
  readonly cacheHits: number;
  /** @deprecated use `counters.coalesced` */
  readonly coalesced: number;
  /** @deprecated use `counters.bcryptChecks` */
  readonly bcryptChecks: number;
  /** @deprecated use `counters.invalid['unknown-combination']` and `counters.invalid['malformed-code']` */
  readonly refusedWithoutHashing: number;
  /** @deprecated use `counters.shed.overloaded` */
  readonly shed: number;
  /** @deprecated use `gauges.inFlight` */
  readonly inFlight: number;
  /** @deprecated use `gauges.queued` */
  readonly queued: number;
  /** @deprecated use `gauges.cachedValid` */
  readonly cachedValid: number;
  /** @deprecated use `gauges.cachedInvalid` */
  readonly cachedInvalid: number;
}

/**
 * Where a check's answer came from: the cache ('hit'), the shared level in Redis ('shared'), a hash on the pool
 * ('miss'), a check in flight ('coalesced'), or none of these ('none').
 */
export type CheckCache = 'hit' | 'shared' | 'miss' | 'coalesced' | 'none';

interface CheckMessageNames {
  /**
   * The names the check was for, as received (the same strings, not copies); null for one it never read (a
   * header that was missing or repeated, a host function that failed). A name longer than 256 characters and
   * than every name of the table names nothing in it, and is carried as a copy of its start, cut there and
   * followed by '…' (U+2026). Names come from clients: escape them before writing them to a line.
   */
  host: string | null;
  platform: string | null;
  userType: string | null;
  /** Where the answer came from. */
  cache: CheckCache;
  /** Milliseconds from the start of the check to its answer (the middleware's include the host function). */
  durationMs: number;
}

/**
 * One message per check on the diagnostics channel 'header-validator:check' (node:diagnostics_channel), from
 * validateRequestAsync and from the middleware, hook and plugin alike. Never holds the auth code.
 */
export type CheckMessage = CheckMessageNames &
  (
    | {
        outcome: 'valid';
        reason: null;
        /** The token the code matched: the combination's current one (or, while one is rotated, its previous). */
        token: 'current' | 'previous';
      }
    | { outcome: 'invalid'; reason: RefusalReason; token: null }
    | { outcome: 'shed'; reason: ShedReason; token: null }
    | { outcome: 'error'; reason: CheckErrorReason; token: null }
  );

export type CheckOutcome = CheckMessage['outcome'];

/** A combination that the build rotates, and when a code of its previous token last validated. */
export interface RotatedCombination {
  readonly host: string;
  readonly platform: string;
  readonly userType: string;
  /**
   * When a code of this combination's previous token last validated with this validator, in this process (an ISO
   * 8601 UTC instant), or null for never. Each process keeps its own.
   */
  readonly lastValidAt: string | null;
}

/** rotation(): a new object on every call, the caller's to keep. */
export interface RotationStatus {
  /** The end of the overlap, as tableInfo().previous.until; null when the build has no previous table. */
  readonly until: string | null;
  /** Whether codes of previous tokens validate now: before `until`, and not retired. */
  readonly accepted: boolean;
  /** Whether they were retired early: the `previous: false` option, or HEADER_VALIDATOR_PREVIOUS=off. */
  readonly retired: boolean;
  /** Every combination whose previous token differs from its current one; none without a previous table. */
  readonly combinations: readonly RotatedCombination[];
}

export interface Validator {
  /** The native function: the current table only. */
  validateRequest(auth_code: string, platform: string, userType: string, host: string): boolean;
  /** The native function: always the current token. */
  generateAuthCode(platform: string, userType: string, host: string): string | null;
  validateRequestAsync(auth_code: string, platform: string, userType: string, host: string): Promise<boolean>;
  /** Always the current token. */
  generateAuthCodeAsync(platform: string, userType: string, host: string): Promise<string | null>;
  stats(): ValidatorStats;
  /** The token rotation as this validator sees it. */
  rotation(): RotationStatus;
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
  /**
   * The start of the overlap: when this build was made, as an ISO 8601 UTC instant. The middleware's Deprecation
   * header names it.
   */
  readonly since: string;
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

/** Who a request was authenticated as; set on `req.auth` (or the property named by `requestProperty`). */
export interface AuthInfo {
  platform: string;
  userType: string;
  host: string;
  /**
   * The token the code matched: 'current', or, during a token rotation, 'previous' (its client has not updated yet;
   * the response carries Deprecation and Sunset headers).
   */
  token: 'current' | 'previous';
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
   * Hand refusals to the application's error handling instead of answering them: a HeaderValidatorHttpError with
   * `status`/`statusCode` 401 (code 'ERR_HEADER_VALIDATOR_UNAUTHORIZED') or 503 (the overload, closed, worker or
   * hash-failed code), the answer's `headers` (WWW-Authenticate, Retry-After) and the `reason`. Default false.
   */
  failWithError?: boolean;
  /**
   * The request property that receives the AuthInfo of a request that passes; default 'auth'. An identifier (not
   * starting with _) that requests do not already have: not one of node:http's, Express's or Fastify's.
   */
  requestProperty?: string;
  /**
   * true (default): a response to a request let in with a code of a previous token carries `Deprecation:
   * @<start of the overlap>` (RFC 9745) and `Sunset: <end of the overlap>` (RFC 8594), so that its client can tell
   * its user to update. false: neither.
   */
  deprecationHeaders?: boolean;
}

/**
 * (req, res, next) middleware for node:http, Express and Connect. It declares nothing on the request's type: read
 * `req.auth` through your own declaration, or import authMiddleware from 'header-validator/express', whose types
 * declare it on Express's Request.
 */
export function authMiddleware<Req extends IncomingMessage = IncomingMessage>(
  options: AuthOptions<Req>,
): (req: Req, res: ServerResponse, next: (err?: unknown) => void) => void;

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
>(options: AuthOptions<Req>): (request: Req, reply: Reply) => Promise<Reply | undefined>;
