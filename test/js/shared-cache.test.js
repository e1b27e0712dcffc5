'use strict';

// The shared level of the cache of checked results, against a real Redis
// server: one hash per new tuple across processes, what a party with access
// to Redis can and cannot do, and calls that stay right and bounded while
// Redis is paused, killed and restarted. Cost-4 codes, hashed by the module.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { once } = require('node:events');
const Redis = require('ioredis');

// A Redis time limit that a loaded test machine never reaches: these tests count answers, not time.
const SLACK_MS = 5_000;

const { createSharedCache } = require('../../lib/shared-cache');
const { fromIoredis } = require('../../lib/ioredis-adapter');
const { encodeTuple } = require('../../lib/tuple-encoding');
const { validateRequest } = require('../../lib/native').load();
const { redisForTests } = require('../support/redis-server.js');
const { demoCode, tamper } = require('../support/codes.js');
const { combinations } = require('../support/module.js');

const CURRENT = ['current'];

const redis = redisForTests();
const nodeRedis = (options) => redis.client(options);

async function ioredis() {
  const client = new Redis({ path: redis.server.socket, enableOfflineQueue: false, lazyConnect: true });
  client.on('error', () => {});
  await client.connect();
  after(() => client.disconnect());
  return fromIoredis(client);
}

// Tuples of valid and of wrong codes, across combinations.
function tuples(count) {
  return Array.from({ length: count }, (_, i) => {
    const { platform, userType, host } = combinations[(i * 7) % combinations.length];
    const code = demoCode(platform, userType, host);
    return [i % 2 ? tamper(code) : code, platform, userType, host];
  });
}

// The check itself, through the module, with the number of times it ran per tuple.
function hashing() {
  const runs = new Map();
  return {
    runs,
    hash: (args) => async () => {
      runs.set(args[0], (runs.get(args[0]) ?? 0) + 1);
      return truth(args);
    },
  };
}

const truth = (args) => (validateRequest(...args) ? { valid: true, token: 'current' } : { valid: false });

async function checkAll(level, list, hash) {
  for (const args of list) assert.deepEqual(await level.check(args, CURRENT, hash(args)), truth(args));
}

describe('shared cache of checked results', () => {
  it('four processes asked about the same new tuples at once hash each tuple once in all', async () => {
    const fleetKey = crypto.randomBytes(32);
    const clients = [
      await nodeRedis({ disableOfflineQueue: true }),
      await nodeRedis(),
      await ioredis(),
      await ioredis(),
    ];
    const levels = clients.map((client) =>
      createSharedCache({ client, timeoutMs: SLACK_MS, lock: { waitMs: 20_000 } }, { fleetKey }),
    );
    const list = tuples(8);
    const { runs, hash } = hashing();
    const answers = await Promise.all(
      list.flatMap((args) => levels.map((level) => level.check(args, CURRENT, hash(args)))),
    );
    assert.deepEqual(
      answers.map((a) => a.valid),
      list.flatMap((args) => levels.map(() => validateRequest(...args))),
    );
    assert.deepEqual([...runs.values()], Array(list.length).fill(1));
  });

  it('a value moved to another key, altered, or written by hand is a miss and an integrity failure', async () => {
    const client = await nodeRedis();
    const level = createSharedCache({ client, timeoutMs: SLACK_MS }, { fleetKey: crypto.randomBytes(32) });
    const [valid, wrong, other] = tuples(3);
    const { runs, hash } = hashing();
    await checkAll(level, [valid], hash);
    const stored = await client.get(level.keyOf(valid));

    await client.set(level.keyOf(wrong), stored);
    await client.set(level.keyOf(valid), `${stored.slice(0, 3)}${stored[3] === 'A' ? 'B' : 'A'}${stored.slice(4)}`);
    await client.set(level.keyOf(other), 'AQEB');
    await checkAll(level, [wrong, valid, other], hash);
    assert.deepEqual([...runs.values()], [2, 1, 1]);
    assert.equal(level.counts().integrityFailures, 3);
    // Replaced by authentic entries: answered from Redis now.
    await checkAll(level, [wrong, valid, other], hash);
    assert.deepEqual([...runs.values()], [2, 1, 1]);
    assert.equal(level.counts().hits, 3);
  });

  it('serves an answer only for the tokens accepted now', async () => {
    const level = createSharedCache(
      { client: await nodeRedis(), timeoutMs: SLACK_MS },
      { fleetKey: crypto.randomBytes(32) },
    );
    const [args] = tuples(1);
    const BOTH = ['current', 'previous'];
    let runs = 0;
    const answer = (result) => async () => (runs++, result);
    const previous = { valid: true, token: 'previous' };
    // A match with the previous token, while both are accepted...
    assert.deepEqual(await level.check(args, BOTH, answer(previous)), previous);
    assert.deepEqual(await level.check(args, BOTH, answer(undefined)), previous);
    // ...is no answer once only the current one is; nor is a refusal by the current one alone for both.
    assert.deepEqual(await level.check(args, CURRENT, answer({ valid: false })), { valid: false });
    assert.deepEqual(await level.check(args, CURRENT, answer(undefined)), { valid: false });
    assert.deepEqual(await level.check(args, BOTH, answer(previous)), previous);
    assert.equal(runs, 3);
  });

  it('refuses a client without its commands, and a short secret without showing it', async () => {
    const fleetKey = crypto.randomBytes(32);
    const client = await nodeRedis();
    const { get, set } = client;
    assert.throws(() => createSharedCache({ client: { get, set } }, { fleetKey }), /client must be/);
    const secret = 'a secret of thirty-one bytes...';
    assert.throws(
      () => createSharedCache({ client, secret }, { fleetKey }),
      (err) => err instanceof TypeError && /secret must be/.test(err.message) && !err.message.includes(secret),
    );
  });

  it('keeps no code, salt or plain digest of either in any key or value', async () => {
    const client = await nodeRedis();
    const level = createSharedCache({ client, timeoutMs: SLACK_MS }, { fleetKey: crypto.randomBytes(32) });
    const list = tuples(6);
    await checkAll(level, list, hashing().hash);
    const keys = await client.keys(`${level.keyspace}*`);
    assert.equal(keys.length, list.length);
    const stored = (keys.join('\n') + (await Promise.all(keys.map((key) => client.get(key)))).join('\n')).toLowerCase();
    const sha = (bytes) => crypto.createHash('sha256').update(bytes).digest();
    for (const args of list) {
      const [code] = args;
      const forms = [code, code.slice(7, 29), code.slice(29)];
      // Plain digests of the code, and of the four arguments as the in-process cache keys them.
      for (const digest of [sha(code), sha(encodeTuple(args))]) {
        forms.push(...['hex', 'base64', 'base64url'].map((encoding) => digest.toString(encoding).replace(/=+$/, '')));
      }
      for (const form of forms) assert.ok(!stored.includes(form.toLowerCase()), 'a code, salt or digest is stored');
    }
  });

  it('two builds never share an entry on one Redis, even under one secret', async () => {
    const client = await nodeRedis();
    const secret = crypto.randomBytes(32);
    const [first, second] = [crypto.randomBytes(32), crypto.randomBytes(32)];
    const builds = [
      { fleetKey: first },
      { fleetKey: second },
      { fleetKey: first, secret },
      { fleetKey: second, secret },
    ];
    const levels = builds.map(({ fleetKey, secret }) =>
      createSharedCache({ client, secret, timeoutMs: SLACK_MS }, { fleetKey }),
    );
    const [args] = tuples(1);
    const { runs, hash } = hashing();
    for (const level of levels) await checkAll(level, [args], hash);
    assert.equal(runs.get(args[0]), levels.length, 'each build hashed for itself');
    assert.equal(new Set(levels.map((level) => level.keyspace)).size, levels.length);
    // Another build's entry, put where this build looks, is refused.
    await client.set(levels[0].keyOf(args), await client.get(levels[1].keyOf(args)));
    await checkAll(levels[0], [args], hash);
    assert.equal(levels[0].counts().integrityFailures, 1);
  });

  it(
    'answers stay right and bounded while Redis is paused, killed and restarted, and Redis is used again',
    {
      timeout: 120_000,
    },
    async () => {
      const clock = { ms: 0, now: () => clock.ms };
      const options = { timeoutMs: 50, backoffMs: 1_000, lock: { waitMs: 200 } };
      const bound = 3 * options.timeoutMs + options.lock.waitMs + 1_000;
      const clients = [await nodeRedis({ disableOfflineQueue: true }), await nodeRedis()];
      const fleetKey = crypto.randomBytes(32);
      const levels = clients.map((client) => createSharedCache({ client, ...options }, { fleetKey, clock }));
      const list = tuples(6);
      const { hash } = hashing();
      const total = (name) => levels.reduce((sum, level) => sum + level.counts()[name], 0);
      // Every level checks every tuple three times at once.
      async function load() {
        const calls = levels.flatMap((level) => [1, 2, 3].flatMap(() => list.map((args) => [level, args])));
        await Promise.all(
          calls.map(async ([level, args]) => {
            const start = performance.now();
            const { valid } = await level.check(args, CURRENT, hash(args));
            assert.equal(valid, validateRequest(...args));
            assert.ok(performance.now() - start < bound, `a check took ${performance.now() - start} ms`);
          }),
        );
      }
      const nextBackoff = () => (clock.ms += options.backoffMs);
      // A command that a loaded machine answers late starts a new back-off: the clock moves on past
      // it, a few times at most.
      async function usedAgain(hitsBefore, when) {
        for (let round = 0; round < 5 && total('hits') === hitsBefore; round++) {
          nextBackoff();
          await load();
          await load();
        }
        assert.ok(total('hits') > hitsBefore, `used again ${when}`);
      }

      await load();
      const hits = total('hits');
      assert.ok(hits > 0);

      redis.server.pause();
      await load();
      const errors = total('errors');
      assert.ok(errors > 0 && total('unavailable') > 0);
      await load();
      assert.equal(total('errors'), errors, 'no command is sent during the back-off');
      redis.server.resume();
      await usedAgain(hits, 'after the pause');

      await redis.server.kill();
      nextBackoff();
      await load();
      assert.ok(total('errors') > errors);

      await redis.server.restart();
      await Promise.all(clients.map((client) => client.isReady || once(client, 'ready')));
      await usedAgain(total('hits'), 'after the restart');
    },
  );
});
