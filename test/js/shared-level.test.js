'use strict';

// Validators with the fleet's shared level (createValidator's `redis` option)
// against a real Redis server: one hash per new code across validators,
// through the middleware too; answers that stay right and bounded while Redis
// is paused, killed and restarted under load; builds of other tables that
// never share an entry. Cost-4 codes.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const diagnosticsChannel = require('node:diagnostics_channel');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const bcrypt = require('bcryptjs');

// A Redis time limit that a loaded test machine never reaches: these tests count answers, not time.
const SLACK_MS = 5_000;

const { createValidator } = require('../../lib');
const { validateRequest } = require('../../lib/native').load();
const { FORMAT_FILE } = require('../../lib/encode/format');
const { PUBLIC_DIGESTS_FILE } = require('../../lib/encode/public-digests');
const { redisForTests } = require('../support/redis-server.js');
const { demoCode, tamper } = require('../support/codes.js');
const { ROOT } = require('../support/module.js');
const { frameworks } = require('../support/servers.js');
const { closedAfterTests } = require('../support/validators.js');
const { copyOfPackage } = require('../support/installation.js');
const { runNode } = require('../support/child.js');
const { rotationPackage } = require('../support/rotation-package.js');

const HOST = 'example.com';
const [PLATFORM, USER_TYPE] = ['ANDROID', 'STORE'];
const validator = closedAfterTests(createValidator);

const redis = redisForTests();
const redisClient = (options) => redis.client(options);

// Fresh codes for the combination, every other one wrong.
const freshCodes = (count) =>
  Array.from({ length: count }, (_, i) => (i % 2 ? tamper : (code) => code)(demoCode(PLATFORM, USER_TYPE, HOST)));
const truth = (code) => validateRequest(code, PLATFORM, USER_TYPE, HOST);
const check = (v, code) => v.validateRequestAsync(code, PLATFORM, USER_TYPE, HOST);
const total = (validators, read) => validators.reduce((sum, v) => sum + read(v.stats().counters), 0);

describe('validators with the shared level', () => {
  it('four validators checking the same new codes at once hash each once in all, asking Redis once each', async () => {
    const client = await redisClient({ disableOfflineQueue: true });
    const fleet = Array.from({ length: 4 }, () =>
      validator({ threads: 1, redis: { client, timeoutMs: SLACK_MS, lock: { waitMs: 20_000 } } }),
    );
    const codes = freshCodes(8);
    // Three callers per code in each validator.
    const calls = codes.flatMap((code) => fleet.flatMap((v) => [1, 2, 3].map(() => [v, code])));
    const answers = await Promise.all(calls.map(([v, code]) => check(v, code)));
    assert.deepEqual(
      answers,
      calls.map(([, code]) => truth(code)),
    );
    assert.equal(
      total(fleet, (c) => c.bcryptChecks),
      codes.length,
    );
    assert.equal(
      total(fleet, (c) => c.shared.hits),
      codes.length * (fleet.length - 1),
    );
    for (const v of fleet) {
      const { shared, coalesced } = v.stats().counters;
      assert.equal(shared.hits + shared.misses + shared.unavailable, codes.length, 'one question per code');
      assert.equal(coalesced, codes.length * 2);
    }
    // The client is the application's: closing the validators leaves it open.
    await Promise.all(fleet.map((v) => v.close()));
    assert.equal(await client.ping(), 'PONG');
  });

  it('a code checked behind one middleware is a shared hit, without a hash, behind another', async () => {
    const client = await redisClient({ disableOfflineQueue: true });
    const [first, second] = [
      validator({ threads: 1, redis: { client, timeoutMs: SLACK_MS } }),
      validator({ threads: 1, redis: { client, timeoutMs: SLACK_MS } }),
    ];
    const apps = [
      await frameworks['node:http']({ host: HOST, validator: first }),
      await frameworks.fastify({ host: HOST, validator: second }),
    ];
    after(() => Promise.all(apps.map((app) => app.close())));
    const [valid, wrong] = freshCodes(2);
    const send = (app, code) =>
      fetch(`${app.url}/whoami`, {
        headers: { 'x-auth-code': code, 'x-platform': PLATFORM, 'x-user-type': USER_TYPE },
      });
    for (const code of [valid, wrong]) await send(apps[0], code);

    const events = [];
    const listener = (message) => events.push(message);
    diagnosticsChannel.subscribe('header-validator:check', listener);
    let statuses;
    try {
      statuses = [(await send(apps[1], valid)).status, (await send(apps[1], wrong)).status];
    } finally {
      diagnosticsChannel.unsubscribe('header-validator:check', listener);
    }
    assert.deepEqual(statuses, [200, 401]);
    assert.deepEqual(
      events.map(({ outcome, cache, token }) => ({ outcome, cache, token })),
      [
        { outcome: 'valid', cache: 'shared', token: 'current' },
        { outcome: 'invalid', cache: 'shared', token: null },
      ],
    );
    const counters = second.stats().counters;
    assert.equal(counters.bcryptChecks, 0);
    assert.equal(counters.shared.hits, 2);
    assert.equal(counters.cacheHits, 0, 'a shared hit is not counted as an in-process one');
    // Kept in the in-process cache: the next request is a hit there.
    assert.equal((await send(apps[1], valid)).status, 200);
    assert.equal(second.stats().counters.cacheHits, 1);
  });

  it(
    'answers stay right and bounded while Redis is paused, killed and restarted under load',
    { timeout: 120_000 },
    async () => {
      const options = { timeoutMs: 50, backoffMs: 0, lock: { waitMs: 200, pollMs: 10 } };
      // A time limit per command, a wait for another process's hash, and room for a hash and the queue before it.
      const bound = 2 * options.timeoutMs + options.lock.waitMs + options.lock.pollMs + 2_000;
      const clients = [await redisClient({ disableOfflineQueue: true }), await redisClient()];
      const fleet = clients.map((client) => validator({ threads: 1, redis: { client, ...options } }));
      const seen = [];
      // Every validator checks each of six new codes twice, at once.
      async function load() {
        const codes = freshCodes(6);
        seen.push(...codes);
        const calls = codes.flatMap((code) => fleet.flatMap((v) => [v, v].map(() => [v, code])));
        await Promise.all(
          calls.map(async ([v, code]) => {
            const start = performance.now();
            assert.equal(await check(v, code), truth(code));
            const took = performance.now() - start;
            assert.ok(took < bound, `a check took ${took.toFixed(0)} ms, beyond ${bound} ms`);
          }),
        );
      }
      const count = (name) => total(fleet, (c) => c.shared[name]);

      await load();
      assert.ok(count('hits') > 0);

      const paused = load();
      redis.server.pause();
      await paused;
      redis.server.resume();
      const afterPause = count('errors');
      assert.ok(afterPause > 0 && count('unavailable') > 0);

      const killed = load();
      await redis.server.kill();
      await killed;
      await load();
      assert.ok(count('errors') > afterPause);

      await redis.server.restart();
      await Promise.all(clients.map((client) => client.isReady || once(client, 'ready')));
      const hits = count('hits');
      const deadline = performance.now() + 30_000;
      while (count('hits') === hits) {
        assert.ok(performance.now() < deadline, 'Redis is not used again after the restart');
        await load();
      }
      // What the in-process caches kept meanwhile is right.
      for (const v of fleet) {
        assert.deepEqual(await Promise.all(seen.map((code) => check(v, code))), seen.map(truth));
      }
      assert.equal(
        total(fleet, (c) => c.error.internal + c.shed.overloaded),
        0,
      );
    },
  );

  it('close() waits for the answers stored in Redis to be written: a client closed after it loses none', async () => {
    const client = await redisClient({ disableOfflineQueue: true });
    const writes = { sent: 0, answered: 0 };
    // The application's client, with writes that Redis answers slowly.
    const slowWrites = {
      get: (...args) => client.get(...args),
      eval: (...args) => client.eval(...args),
      async set(...args) {
        writes.sent++;
        await new Promise((resolve) => setTimeout(resolve, 300));
        const reply = await client.set(...args);
        writes.answered++;
        return reply;
      },
    };
    const v = createValidator({ threads: 1, redis: { client: slowWrites, timeoutMs: SLACK_MS } });
    const [code] = freshCodes(1);
    assert.equal(await check(v, code), true);
    await v.close();
    // The pending mark, then the answer.
    assert.deepEqual(writes, { sent: 2, answered: 2 });
  });

  it('a reply that came while the event loop was held up is taken, not timed out', async () => {
    const client = await redisClient({ disableOfflineQueue: true });
    const options = { client, timeoutMs: 20 };
    const [first, second] = [validator({ threads: 1, redis: options }), validator({ threads: 1, redis: options })];
    const [code] = freshCodes(1);
    await check(first, code);
    const answer = check(second, code);
    // Once the command is written (node-redis writes in setImmediate), the loop is busy past the time limit.
    setImmediate(() => {
      const until = performance.now() + 5 * options.timeoutMs;
      while (performance.now() < until);
    });
    assert.equal(await answer, true);
    assert.deepEqual(
      [
        second.stats().counters.shared.hits,
        second.stats().counters.shared.errors,
        second.stats().counters.bcryptChecks,
      ],
      [1, 0, 0],
    );
  });

  it('builds of two tables on one Redis never answer from each other', async () => {
    // The rotation test tables hold one combination with a token in each: a code valid for one build is
    // wrong for the other.
    const tables = path.join(ROOT, 'test', 'tables');
    const buildDir = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(ROOT, 'build');
    const modules = path.join(buildDir, 'test-modules', 'rotation');
    const tokens = require('../tables/rotation.tokens.json');
    const codes = [tokens.previous.WEB.USER, tokens.current.WEB.USER].map((token) => bcrypt.hashSync(token, 4));
    const install = (table, moduleFile) => {
      const dir = copyOfPackage('hv-shared-build-');
      after(() => fs.rmSync(dir, { recursive: true, force: true }));
      const release = path.join(dir, 'build', 'Release');
      fs.mkdirSync(release, { recursive: true });
      fs.symlinkSync(path.join(modules, moduleFile), path.join(release, 'header_validator.node'));
      const args = [path.join(tables, table), FORMAT_FILE, path.join(ROOT, 'src/tokens/token_table.json')];
      args.push(PUBLIC_DIGESTS_FILE, path.join(release, 'header_validator.manifest.json'));
      args.push('--fleet-key', path.join(release, 'header_validator.fleet-key'));
      const made = spawnSync(path.join(buildDir, 'table_manifest'), args, { encoding: 'utf8' });
      assert.equal(made.status, 0, made.stderr);
      return dir;
    };
    const builds = {
      current: install('rotation-current.json', 'header_validator.node'),
      previous: install('rotation-previous.json', 'header_validator_previous.node'),
    };
    const script = `
      const { createClient } = require('redis');
      const { createValidator } = require('./lib');
      (async () => {
        const client = createClient({ socket: { path: process.env.SOCKET }, disableOfflineQueue: true });
        await client.connect();
        const v = createValidator({ threads: 1, redis: { client, timeoutMs: ${SLACK_MS} } });
        const answers = [];
        for (const code of JSON.parse(process.env.CODES))
          answers.push(await v.validateRequestAsync(code, 'WEB', 'USER', 'rotation.example'));
        const { bcryptChecks, shared } = v.stats().counters;
        console.log(JSON.stringify({ answers, bcryptChecks, hits: shared.hits }));
        await v.close();
        client.destroy();
      })();`;
    const run = async (dir) => {
      const env = { SOCKET: redis.server.socket, CODES: JSON.stringify(codes) };
      const { status, stdout, stderr } = await runNode(['-e', script], { cwd: dir, env });
      assert.equal(status, 0, stderr);
      return JSON.parse(stdout);
    };
    assert.deepEqual(await run(builds.current), { answers: [false, true], bcryptChecks: 2, hits: 0 });
    assert.deepEqual(await run(builds.previous), { answers: [true, false], bcryptChecks: 2, hits: 0 });
    // Within one build, the entries are shared.
    assert.deepEqual(await run(builds.current), { answers: [false, true], bcryptChecks: 0, hits: 2 });
  });

  it("shares a previous token's match only while that token is accepted", async () => {
    const until = new Date(Date.now() + 30 * 86_400_000).toISOString();
    const rotation = rotationPackage(until);
    after(() => fs.rmSync(rotation.dir, { recursive: true, force: true }));
    const { createValidator: rotating } = require(path.join(rotation.dir, 'lib', 'validator.js'));
    const client = await redisClient();
    const made = [];
    const make = (options) => {
      const v = rotating({ threads: 1, ...options, redis: { client, timeoutMs: SLACK_MS } });
      made.push(v);
      return v;
    };
    after(() => Promise.all(made.map((v) => v.close())));
    const code = bcrypt.hashSync(rotation.tokens.previous.WEB.USER, 4);
    const events = [];
    const onCheck = (message) => events.push([message.cache, message.token]);
    diagnosticsChannel.subscribe('header-validator:check', onCheck);
    try {
      const answers = [];
      for (const v of [make(), make(), make({ previous: false })]) {
        answers.push(await v.validateRequestAsync(code, 'WEB', 'USER', rotation.host));
      }
      // Hashed once, shared once; a validator that retired the previous token hashes it itself, and refuses.
      assert.deepEqual(answers, [true, true, false]);
      assert.deepEqual(events, [
        ['miss', 'previous'],
        ['shared', 'previous'],
        ['miss', null],
      ]);
    } finally {
      diagnosticsChannel.unsubscribe('header-validator:check', onCheck);
    }
  });

  it('refuses a client without the commands it sends, and unknown options, never showing the secret', async () => {
    const client = await redisClient();
    const secret = 'a secret of thirty-one bytes!!!';
    const refusals = [
      [
        { client: { get: client.get, set: client.set } },
        /^createValidator: redis\.client must be a connected node-redis/,
      ],
      [{ client, secret }, /^createValidator: redis\.secret must be a string or Buffer of at least 32 bytes$/],
      [
        { client, secret: `${secret}!`, ttl: { valid: 1, forever: true } },
        /^createValidator: unknown redis\.ttl option "forever"/,
      ],
      [{ client, secret: `${secret}!`, db: 2 }, /^createValidator: unknown redis option "db"/],
    ];
    for (const [redis, message] of refusals) {
      assert.throws(
        () => createValidator({ redis }),
        (err) => err instanceof TypeError && message.test(err.message) && !err.message.includes(secret),
      );
    }
  });
});
