'use strict';

// The validator's cache of checked results: what it keys on, what it keeps,
// which checks share a hash, and that its answers are the fresh ones. Cost-4
// codes throughout, so that hashing is cheap.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');

const api = require('../../lib');
const { createResultCache, readCacheOptions } = require('../../lib/result-cache');
const { VALID, REFUSED } = require('../../lib/check-answer');
const { demoCode, tamper, withCost, withPrefix } = require('../support/codes.js');
const { closedAfterTests } = require('../support/validators.js');
const { combinations } = require('../support/module.js');

const STORE = ['ANDROID', 'STORE', 'example.com'];

const validator = closedAfterTests(api.createValidator);

describe('result cache', () => {
  it('keys tuples apart that naive joining, with or without a separator, or UTF-8 would merge', async () => {
    const cache = createResultCache({ valid: 10, invalid: 10, ttl: 0 });
    const pairs = [
      [
        ['ab', 'c', 'd', 'e'],
        ['a', 'bc', 'd', 'e'],
      ],
      [
        ['a|b', 'c', 'd', 'e'],
        ['a', 'b|c', 'd', 'e'],
      ],
      [
        ['a\0b', 'c', 'd', 'e'],
        ['a', 'b\0c', 'd', 'e'],
      ],
      [
        ['', 'ab', 'c', 'd'],
        ['a', 'b', 'c', 'd'],
      ],
      // A lone surrogate becomes U+FFFD in UTF-8.
      [
        ['\ud800', 'a', 'b', 'c'],
        ['\ufffd', 'a', 'b', 'c'],
      ],
    ];
    for (const [stored, asked] of pairs) {
      await cache.share(cache.keyOf(...stored), Promise.resolve(VALID));
      assert.equal(cache.get(cache.keyOf(...stored)), VALID);
      assert.equal(cache.get(cache.keyOf(...asked)), undefined, JSON.stringify(asked));
    }
  });

  it('a spray of invalid results never evicts a valid one', async () => {
    const v = validator({ threads: 1, cache: { valid: 2, invalid: 3 } });
    const code = demoCode(...STORE);
    assert.equal(await v.validateRequestAsync(code, ...STORE), true);
    for (let i = 0; i < 20; i++)
      assert.equal(await v.validateRequestAsync(demoCode('IOS', 'USER', STORE[2]), ...STORE), false);
    assert.equal(await v.validateRequestAsync(code, ...STORE), true);
    const { counters, gauges } = v.stats();
    assert.deepEqual(
      [counters.bcryptChecks, counters.cacheHits, gauges.cachedValid, gauges.cachedInvalid],
      [21, 1, 1, 3],
    );
  });

  it('concurrent checks of one new tuple share one hash and are never shed', async () => {
    // No queue: the shared check holds the only thread, and anything else is shed.
    const v = validator({ threads: 1, maxQueue: 0 });
    const code = demoCode(...STORE);
    const burst = Array.from({ length: 100 }, () => v.validateRequestAsync(code, ...STORE));
    const other = v.validateRequestAsync(tamper(code), ...STORE).catch((err) => err.code);
    assert.deepEqual(await Promise.all(burst), Array(100).fill(true));
    assert.equal(await other, 'ERR_HEADER_VALIDATOR_OVERLOADED');
    const { counters, gauges } = v.stats();
    assert.deepEqual(
      [counters.valid, counters.bcryptChecks, counters.coalesced, counters.shed.overloaded, gauges.inFlight],
      [100, 1, 99, 1, 0],
    );
    assert.equal(gauges.queued, 0);
  });

  it('cache: false checks every call on the pool, as without a cache', async () => {
    const v = validator({ threads: 1, maxQueue: 0, cache: false });
    const code = demoCode(...STORE);
    const first = v.validateRequestAsync(code, ...STORE);
    const second = v.validateRequestAsync(code, ...STORE).catch((err) => err.code);
    assert.equal(await first, true);
    assert.equal(await second, 'ERR_HEADER_VALIDATOR_OVERLOADED');
    assert.equal(await v.validateRequestAsync(code, ...STORE), true);
    const { counters, gauges } = v.stats();
    assert.deepEqual(
      { bcryptChecks: counters.bcryptChecks, cacheHits: counters.cacheHits, coalesced: counters.coalesced },
      { bcryptChecks: 2, cacheHits: 0, coalesced: 0 },
    );
    assert.equal(gauges.cachedValid, 0);
  });

  it('invalid answers expire after a minute by default (invalidTtl), valid ones never (ttl 0)', async () => {
    let now = 1_000_000;
    const clock = { now: () => now };
    const [wrong, right] = [
      ['w', ...STORE],
      ['r', ...STORE],
    ];
    const store = async (options) => {
      const cache = createResultCache(readCacheOptions(options), clock);
      await cache.share(cache.keyOf(...wrong), Promise.resolve(REFUSED.mismatch));
      await cache.share(cache.keyOf(...right), Promise.resolve(VALID));
      return () => [cache.get(cache.keyOf(...wrong))?.valid, cache.get(cache.keyOf(...right))?.valid];
    };
    const byDefault = await store(undefined);
    const kept = await store({ invalidTtl: 0 });
    now += 60_000;
    assert.deepEqual(byDefault(), [false, true]);
    now += 1;
    assert.deepEqual(byDefault(), [undefined, true]);
    now += 365 * 86_400_000;
    assert.deepEqual(kept(), [false, true]);
  });

  it('refuses cache options it does not know or cannot hold', () => {
    assert.throws(() => api.createValidator({ cache: { valid: 10, size: 5 } }), /unknown cache option "size"/);
    assert.throws(() => api.createValidator({ cache: true }), TypeError);
    const unusable = [{ valid: 0 }, { invalid: 1.5 }, { valid: 1e9 }, { ttl: -1 }, { ttl: 0.5 }];
    for (const cache of [...unusable, { invalidTtl: -1 }, { invalidTtl: '60000' }])
      assert.throws(() => api.createValidator({ cache }), RangeError, JSON.stringify(cache));
  });

  it('across random tuples, near-collisions among them, cached answers equal fresh ones', async () => {
    // A small fixed generator, so that a failure can be replayed.
    let seed = 0x5eed;
    const random = (n) => {
      seed = (seed * 1103515245 + 12345) % 2 ** 31;
      return seed % n;
    };
    const pick = (list) => list[random(list.length)];
    const picked = combinations.filter((_, i) => i % 6 === 0);
    const codes = picked.map((c) => demoCode(c.platform, c.userType, c.host));
    // Each code as made, in other variants (the same hash for these tokens), cut or changed.
    const variants = codes.flatMap((code) => [
      code,
      withPrefix(code, '$2a$'),
      withPrefix(code, '$2y$'),
      tamper(code),
      withCost(code, 5),
      code.slice(0, 59),
    ]);
    // Near a code's own combination: another user type at its host, its own at another host.
    const names = (c) => {
      const sameHost = combinations.filter((o) => o.host === c.host && o.userType !== c.userType);
      const elsewhere = combinations.filter((o) => o.host !== c.host && o.userType === c.userType);
      return [c, pick(sameHost), pick(elsewhere)].map((o) => [o.platform, o.userType, o.host]);
    };
    const tuples = Array.from({ length: 300 }, () => [pick(variants), ...pick(names(pick(picked)))]);
    const v = validator({ threads: 2, maxQueue: tuples.length, cache: { valid: 16, invalid: 16 } });
    const fresh = tuples.map((args) => api.validateRequest(...args));
    // Twice through: concurrent first sights, then a mix of hits and evicted entries.
    for (let round = 0; round < 2; round++) {
      assert.deepEqual(await Promise.all(tuples.map((args) => v.validateRequestAsync(...args))), fresh);
    }
    assert.ok(fresh.includes(true) && fresh.includes(false));
    const { counters } = v.stats();
    assert.ok(counters.cacheHits > 0 && counters.coalesced > 0);
  });
});
