'use strict';

// The middleware and the Fastify hook behind real servers on 127.0.0.1, asked
// with real requests; the checks run on real worker threads.

const { after, before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { authMiddleware, createValidator, fastifyAuthHook, generateAuthCode } = require('../../lib');
const { demoCode, withCost, tamper } = require('../support/codes.js');
const { combinations } = require('../support/module.js');
const { frameworks, rawRequest } = require('../support/servers.js');

const HOST = 'example.com';
const STORE = { platform: 'ANDROID', userType: 'STORE' };
const storeCode = demoCode(STORE.platform, STORE.userType, HOST);
const skip = (req) => req.method === 'OPTIONS' || req.url === '/health';

const headersFor = (code, { platform, userType } = STORE) => ({
  'x-auth-code': code,
  'x-platform': platform,
  'x-user-type': userType,
});

const UNAUTHORIZED = { error: 'unauthorized' };

// A cost-12 code, made once: checking it keeps a thread busy.
let slowCode;

async function get(url, headers) {
  const response = await fetch(url, { headers });
  const text = await response.text();
  return { status: response.status, headers: response.headers, text, json: () => JSON.parse(text) };
}

describe('options', () => {
  for (const [name, make] of [
    ['authMiddleware', authMiddleware],
    ['fastifyAuthHook', fastifyAuthHook],
  ]) {
    it(`${name} refuses to be made without a usable host or with bad options`, () => {
      const hostRequired = /the host option is required/;
      assert.throws(() => make(), TypeError);
      assert.throws(() => make({}), hostRequired);
      assert.throws(() => make({ host: '' }), hostRequired);
      assert.throws(() => make({ host: ['example.com'] }), hostRequired);
      assert.throws(() => make({ host: HOST, skip: '/health' }), /skip must be a function/);
      assert.throws(() => make({ host: HOST, validator: {} }), /createValidator/);
      assert.throws(() => make({ host: HOST, headers: { code: 'x-code' } }), /unknown header option "code"/);
      assert.throws(() => make({ host: HOST, headers: { authCode: '' } }), /headers.authCode/);
      assert.throws(() => make({ hosts: HOST }), /unknown option "hosts"/);
      assert.equal(typeof make({ host: () => HOST }), 'function');
    });
  }
});

for (const [framework, start] of Object.entries(frameworks)) {
  describe(framework, () => {
    const validator = createValidator({ threads: 2, maxQueue: 64 });
    let production;
    let staging;
    let hostFails;
    before(async () => {
      production = await start({ host: HOST, validator, skip });
      // A host function of the request: here, the deployment is told by the port it listens on.
      const hostByPort = new Map();
      staging = await start({ host: async (req) => hostByPort.get(req.socket.localPort), validator });
      hostByPort.set(Number(new URL(staging.url).port), 'staging.example.com');
      hostFails = await start({
        host: () => {
          throw new Error('no host configured for this listener');
        },
        validator,
      });
    });
    after(async () => {
      await Promise.all([production.close(), staging.close(), hostFails.close()]);
      await validator.close();
    });

    it('lets a valid code through and records who was authenticated', async () => {
      const response = await get(`${production.url}/whoami`, headersFor(storeCode));
      assert.equal(response.status, 200);
      assert.deepEqual(response.json(), { auth: { platform: 'ANDROID', userType: 'STORE', host: HOST } });
    });

    it('answers 401 without calling the route for tampered, foreign and malformed codes', async () => {
      const calls = production.state.routeCalls;
      const refused = [
        headersFor(tamper(storeCode)),
        headersFor(withCost(storeCode, 31)),
        headersFor(storeCode, { platform: 'IOS', userType: 'STORE' }),
        headersFor(storeCode, { platform: 'WEB', userType: 'KIOSK' }),
        headersFor(demoCode('ANDROID', 'STORE', 'www.example.com')),
        headersFor(storeCode.slice(0, 59)),
        headersFor(''),
      ];
      for (const headers of refused) {
        const response = await get(`${production.url}/whoami`, headers);
        assert.equal(response.status, 401);
        assert.deepEqual(response.json(), UNAUTHORIZED);
        assert.match(response.headers.get('content-type'), /^application\/json/);
        const salt = headers['x-auth-code'].slice(7, 29);
        assert.ok(
          salt === '' || ![...response.headers.values()].some((v) => v.includes(salt)),
          'a header echoes the code',
        );
      }
      assert.equal(production.state.routeCalls, calls);
    });

    it('answers 401 for a missing or repeated header', async () => {
      const calls = production.state.routeCalls;
      for (const missing of ['x-auth-code', 'x-platform', 'x-user-type']) {
        const headers = headersFor(storeCode);
        delete headers[missing];
        assert.equal((await get(`${production.url}/whoami`, headers)).status, 401, missing);
      }
      // fetch joins repeated headers; node:http can send each on its own line.
      for (const repeated of ['x-auth-code', 'x-platform', 'x-user-type']) {
        const headers = headersFor(storeCode);
        headers[repeated] = [headers[repeated], headers[repeated]];
        const response = await rawRequest(`${production.url}/whoami`, { headers });
        assert.equal(response.status, 401, repeated);
        assert.deepEqual(JSON.parse(response.body), UNAUTHORIZED);
      }
      assert.equal(production.state.routeCalls, calls);
      assert.deepEqual(production.state.errors, []);
    });

    it('takes the host from its option, not from the Host header the client sends', async () => {
      const stagingCode = demoCode('ANDROID', 'STORE', 'staging.example.com');
      const headers = { ...headersFor(stagingCode), host: 'staging.example.com' };
      const atProduction = await rawRequest(`${production.url}/whoami`, { headers });
      assert.equal(atProduction.status, 401);
      // The same request is good where the deployment's host is staging.
      const atStaging = await rawRequest(`${staging.url}/whoami`, { headers });
      assert.equal(atStaging.status, 200);
      assert.deepEqual(JSON.parse(atStaging.body).auth.host, 'staging.example.com');
    });

    it('passes a failing host function on as a server error', async () => {
      const response = await get(`${hostFails.url}/whoami`, headersFor(storeCode));
      assert.equal(response.status, 500);
      assert.equal(hostFails.state.routeCalls, 0);
      assert.equal(hostFails.state.errors.length, 1);
      assert.match(hostFails.state.errors[0].message, /no host configured/);
    });

    it('skip lets a CORS preflight and a health check through without headers', async () => {
      const preflight = await fetch(`${production.url}/whoami`, {
        method: 'OPTIONS',
        headers: {
          origin: 'https://app.example.com',
          'access-control-request-method': 'GET',
          'access-control-request-headers': 'x-auth-code',
        },
      });
      assert.equal(preflight.status, 204);
      const health = await get(`${production.url}/health`, {});
      assert.equal(health.status, 200);
      assert.equal(health.text, 'ok');
      // Not skipped: the same path without OPTIONS.
      assert.equal((await get(`${production.url}/whoami`, {})).status, 401);
    });

    it('skips only on an awaited, exact true: an async skip cannot open every route', async () => {
      const skips = [async (req) => req.url === '/health', (req) => (req.url === '/health' ? 1 : 'no')];
      const servers = await Promise.all(skips.map((s) => start({ host: HOST, validator, skip: s })));
      try {
        for (const [i, server] of servers.entries()) {
          assert.equal((await get(`${server.url}/secret`, {})).status, 401, `skip ${i} opened /secret`);
          assert.equal(server.state.routeCalls, 0);
        }
        assert.equal((await get(`${servers[0].url}/health`, {})).status, 200);
        assert.equal((await get(`${servers[1].url}/health`, {})).status, 401, 'a truthy 1 is not true');
      } finally {
        await Promise.all(servers.map((s) => s.close()));
      }
    });

    it('reads header names given in its options', async () => {
      const custom = await start({
        host: HOST,
        validator,
        headers: { authCode: 'Authorization-Code', platform: 'X-Client', userType: 'x-role' },
      });
      try {
        const ok = await get(`${custom.url}/whoami`, {
          'authorization-code': storeCode,
          'x-client': 'ANDROID',
          'x-role': 'STORE',
        });
        assert.equal(ok.status, 200);
        assert.equal((await get(`${custom.url}/whoami`, headersFor(storeCode))).status, 401);
      } finally {
        await custom.close();
      }
    });

    it('keeps the health check answering through a burst of checks', async () => {
      const burst = combinations.slice(0, 24).map((c) =>
        get(`${production.url}/whoami`, headersFor(demoCode(c.platform, c.userType, c.host), c)).then((r) => ({
          c,
          r,
        })),
      );
      const health = Array.from({ length: 5 }, () => get(`${production.url}/health`, {}));
      for (const response of await Promise.all(health)) assert.equal(response.status, 200);
      for (const { c, r } of await Promise.all(burst)) {
        if (c.host === HOST) {
          assert.equal(r.status, 200);
          assert.deepEqual(r.json().auth, { platform: c.platform, userType: c.userType, host: HOST });
        } else {
          assert.equal(r.status, 401, `a code for ${c.host} passed at ${HOST}`);
        }
      }
    });

    it('answers 503 with Retry-After when the pool is full or closed', async () => {
      const small = createValidator({ threads: 1, maxQueue: 0 });
      slowCode ??= generateAuthCode('ANDROID', 'STORE', HOST);
      const busy = [];
      let fill = true;
      // Fill the pool in the same request, just before the check.
      const full = await start(
        { host: HOST, validator: small },
        {
          before: () => fill && busy.push(small.validateRequestAsync(slowCode, 'ANDROID', 'STORE', HOST)),
        },
      );
      try {
        const response = await get(`${full.url}/whoami`, headersFor(storeCode));
        assert.equal(response.status, 503);
        assert.equal(response.headers.get('retry-after'), '1');
        assert.deepEqual(response.json(), { error: 'overloaded' });
        assert.deepEqual(await Promise.all(busy), [true]);
        fill = false;
        await small.close();
        const closed = await get(`${full.url}/whoami`, headersFor(storeCode));
        assert.equal(closed.status, 503);
        assert.equal(full.state.routeCalls, 0);
      } finally {
        await full.close();
        await small.close();
      }
    });
  });
}

describe('default validator', () => {
  it('the middleware uses the module default when given none', async () => {
    const server = await frameworks['node:http']({ host: HOST });
    try {
      const response = await get(`${server.url}/whoami`, headersFor(storeCode));
      assert.equal(response.status, 200);
    } finally {
      await server.close();
    }
  });
});
