'use strict';

// The middleware and the Fastify hook behind real servers on 127.0.0.1, asked
// with real requests; the checks run on real worker threads.

const { after, before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const http2 = require('node:http2');
const { once } = require('node:events');
const Fastify = require('fastify');
const express = require('express');
const fastifyAuth = require('@fastify/auth');
const {
  authMiddleware,
  createValidator,
  fastifyAuthHook,
  generateAuthCode,
  HeaderValidatorError,
} = require('../../lib');
const { fastifyHeaderValidator } = require('../../lib/fastify-plugin');
const { demoCode, withCost, tamper } = require('../support/codes.js');
const { combinations } = require('../support/module.js');
const { frameworks, rawRequest } = require('../support/servers.js');
const { runScript, describeExit } = require('../support/child.js');

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
const CHALLENGE = 'AuthCode headers="x-auth-code x-platform x-user-type"';

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
      // Names every object inherits are not options either.
      assert.throws(() => make({ host: HOST, headers: { toString: 'x-code' } }), /unknown header option "toString"/);
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
      assert.deepEqual(response.json(), {
        auth: { platform: 'ANDROID', userType: 'STORE', host: HOST, token: 'current' },
      });
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
        assert.equal(response.headers.get('www-authenticate'), CHALLENGE);
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

    it('passes a failing host function on as a server error, its own error only as the cause', async () => {
      const response = await get(`${hostFails.url}/whoami`, headersFor(storeCode));
      assert.equal(response.status, 500);
      assert.equal(hostFails.state.routeCalls, 0);
      assert.equal(hostFails.state.errors.length, 1);
      const [err] = hostFails.state.errors;
      assert.deepEqual([err.code, err.status, err.statusCode], ['ERR_HEADER_VALIDATOR_HOST', 500, 500]);
      assert.doesNotMatch(err.message, /no host configured/);
      assert.match(err.cause.message, /no host configured/);
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
          assert.deepEqual(r.json().auth, { platform: c.platform, userType: c.userType, host: HOST, token: 'current' });
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
        // Closed (or closing): not overloaded, but gone; Retry-After sends the client elsewhere.
        const closed = await get(`${full.url}/whoami`, headersFor(storeCode));
        assert.equal(closed.status, 503);
        assert.equal(closed.headers.get('retry-after'), '1');
        assert.deepEqual(closed.json(), { error: 'unavailable' });
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

describe('requests without headersDistinct', () => {
  const validator = createValidator({ threads: 1 });
  after(() => validator.close());

  it("Fastify's inject(): joined headers are read, a repeat is refused, callback errors stay home", async () => {
    const app = Fastify();
    const host = (request) => {
      if (request.url === '/broken') throw new Error('secret vault at /srv/vault is unreachable');
      return HOST;
    };
    const skip = async (request) => {
      if (request.url === '/skip-broken') throw new Error('flag store at /srv/vault is unreachable');
      return false;
    };
    app.addHook('onRequest', fastifyAuthHook({ host, skip, validator }));
    app.get('/*', async (request) => ({ auth: request.auth }));
    try {
      const ok = await app.inject({ url: '/', headers: headersFor(storeCode) });
      assert.equal(ok.statusCode, 200, ok.body);
      assert.deepEqual(ok.json().auth, { ...STORE, host: HOST, token: 'current' });
      const repeated = { ...headersFor(storeCode), 'x-platform': ['ANDROID', 'ANDROID'] };
      assert.equal((await app.inject({ url: '/', headers: repeated })).statusCode, 401);
      // Fastify's default error handler sends the error's message to the client.
      const broken = await app.inject({ url: '/broken', headers: headersFor(storeCode) });
      assert.equal(broken.statusCode, 500);
      assert.match(broken.body, /could not resolve this deployment's host/);
      assert.doesNotMatch(broken.body, /vault/);
      const skipBroken = await app.inject({ url: '/skip-broken', headers: headersFor(storeCode) });
      assert.equal(skipBroken.statusCode, 500);
      assert.match(skipBroken.body, /ERR_HEADER_VALIDATOR_SKIP/);
      assert.doesNotMatch(skipBroken.body, /vault/);
    } finally {
      await app.close();
    }
  });

  it('node:http2 (h2c) requests pass the middleware', async () => {
    const auth = authMiddleware({ host: HOST, validator });
    const server = http2.createServer((req, res) => auth(req, res, (err) => res.writeHead(err ? 500 : 200).end()));
    server.listen(0, '127.0.0.1');
    await once(server, 'listening');
    const client = http2.connect(`http://127.0.0.1:${server.address().port}`);
    try {
      const request = client.request({ ':path': '/', ...headersFor(storeCode) });
      request.resume().end();
      const [headers] = await once(request, 'response');
      assert.equal(headers[':status'], 200);
    } finally {
      client.close();
      server.close();
    }
  });
});

describe('a route below the middleware that throws', () => {
  it('throws as it would without the middleware: uncaught under node:http, caught by Express', () => {
    const child = runScript(
      `
      const http = require('node:http');
      const express = require('express');
      const { authMiddleware, createValidator } = require('./lib');
      const seen = [];
      process.on('uncaughtException', (err) => seen.push('uncaught: ' + err.message));
      process.on('unhandledRejection', (err) => seen.push('unhandled rejection: ' + err.message));
      const validator = createValidator({ threads: 1 });
      const auth = authMiddleware({ host: 'example.com', validator });
      let nextCalls = 0;
      const bare = http.createServer((req, res) =>
        auth(req, res, () => {
          nextCalls += 1;
          res.end();
          throw new Error('route failed');
        }),
      );
      const app = express();
      app.use(auth);
      app.get('/', () => {
        throw new Error('express route failed');
      });
      app.use((err, req, res, _next) => res.status(500).end('caught: ' + err.message));
      const viaExpress = http.createServer(app);
      const headers = { 'x-auth-code': process.env.CODE, 'x-platform': 'ANDROID', 'x-user-type': 'STORE' };
      const get = async (server) => {
        server.listen(0, '127.0.0.1');
        await require('node:events').once(server, 'listening');
        const response = await fetch('http://127.0.0.1:' + server.address().port + '/', { headers });
        return [response.status, await response.text()];
      };
      (async () => {
        const answers = [await get(bare), await get(viaExpress)];
        setTimeout(() => {
          report({ answers, seen, nextCalls });
          process.exit(0);
        }, 100);
      })();`,
      { env: { CODE: storeCode } },
    );
    assert.deepEqual(
      child.report,
      {
        answers: [
          [200, ''],
          [500, 'caught: express route failed'],
        ],
        seen: ['uncaught: route failed'],
        nextCalls: 1,
      },
      describeExit(child),
    );
  });
});

describe('refusals the application handles itself', () => {
  const validator = createValidator({ threads: 1 });
  const closedValidator = createValidator({ threads: 1 });
  before(() => closedValidator.close());
  after(() => validator.close());

  // The application's own error handler answers from the error alone.
  const answerFromError = (seen) => (err, res) => {
    seen.push(err);
    res
      .status(err.statusCode ?? 500)
      .set(err.headers ?? {})
      .json({ error: err.code });
  };

  it('failWithError hands Express the refusal as a HeaderValidatorError with status and headers', async () => {
    const seen = [];
    const answer = answerFromError(seen);
    const app = express();
    app.use('/closed', authMiddleware({ host: HOST, validator: closedValidator, failWithError: true }));
    app.use(authMiddleware({ host: HOST, validator, failWithError: true }));
    app.get('/{*path}', (req, res) => res.json({ auth: req.auth }));
    app.use((err, req, res, _next) => answer(err, res));
    const server = app.listen(0, '127.0.0.1');
    await once(server, 'listening');
    const url = `http://127.0.0.1:${server.address().port}`;
    try {
      assert.equal((await get(`${url}/whoami`, headersFor(storeCode))).status, 200);
      const refused = await get(`${url}/whoami`, headersFor(tamper(storeCode)));
      assert.equal(refused.status, 401);
      assert.equal(refused.headers.get('www-authenticate'), CHALLENGE);
      const shed = await get(`${url}/closed/whoami`, headersFor(storeCode));
      assert.equal(shed.status, 503);
      assert.equal(shed.headers.get('retry-after'), '1');
      assert.deepEqual(
        seen.map((e) => [e instanceof HeaderValidatorError, e.code, e.status, e.statusCode]),
        [
          [true, 'ERR_HEADER_VALIDATOR_UNAUTHORIZED', 401, 401],
          [true, 'ERR_HEADER_VALIDATOR_CLOSED', 503, 503],
        ],
      );
    } finally {
      server.closeAllConnections();
      server.close();
    }
  });

  it('failWithError hands Fastify the same error, and the plugin verifies per route with @fastify/auth', async () => {
    const seen = [];
    const app = Fastify();
    app.setErrorHandler((err, request, reply) => {
      seen.push(err);
      reply
        .code(err.statusCode ?? 500)
        .headers(err.headers ?? {})
        .send({ error: err.code });
    });
    app.addHook('onRequest', fastifyAuthHook({ host: HOST, validator, failWithError: true }));
    app.get('/whoami', async (request) => ({ auth: request.auth }));

    const routes = Fastify();
    await routes.register(fastifyAuth);
    await routes.register(fastifyHeaderValidator, { host: HOST, validator, hook: false });
    routes.get('/open', async () => 'open');
    routes.get('/admin', { preHandler: routes.auth([routes.verifyAuthCode]) }, async (request) => request.auth);
    try {
      const inject = (target, url, code) => target.inject({ url, headers: code ? headersFor(code) : {} });
      assert.equal((await inject(app, '/whoami', storeCode)).statusCode, 200);
      const refused = await inject(app, '/whoami', tamper(storeCode));
      assert.equal(refused.statusCode, 401);
      assert.equal(refused.headers['www-authenticate'], CHALLENGE);
      assert.deepEqual(
        seen.map((e) => [e instanceof HeaderValidatorError, e.code, e.statusCode]),
        [[true, 'ERR_HEADER_VALIDATOR_UNAUTHORIZED', 401]],
      );

      assert.equal((await inject(routes, '/open')).statusCode, 200);
      const admin = await inject(routes, '/admin', storeCode);
      assert.deepEqual(
        [admin.statusCode, admin.json()],
        [200, { platform: 'ANDROID', userType: 'STORE', host: HOST, token: 'current' }],
      );
      const denied = await inject(routes, '/admin', tamper(storeCode));
      assert.equal(denied.statusCode, 401);
      assert.equal(denied.headers['www-authenticate'], CHALLENGE);
    } finally {
      await Promise.all([app.close(), routes.close()]);
    }
  });
});
