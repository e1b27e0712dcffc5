'use strict';

// What the middleware, hook and plugin tell the application about a request
// they do not let through: the reason of each refusal (never its body), the
// closed validator's own answer, a host the table does not hold, the request
// property that receives the result, and the plugin in nested scopes.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const http = require('node:http');
const express = require('express');
const express4 = require('express4');
const Fastify = require('fastify');
const fastifyAuth = require('@fastify/auth');
const { authMiddleware, createValidator, fastifyAuthHook, HeaderValidatorHttpError } = require('../../lib');
const { fastifyHeaderValidator } = require('../../lib/fastify-plugin');
const { demoCode, tamper, withCost } = require('../support/codes.js');
const { rawRequest } = require('../support/servers.js');

const HOST = 'example.com';
const code = demoCode('ANDROID', 'STORE', HOST);
const headersFor = (authCode, platform = 'ANDROID', userType = 'STORE') => ({
  'x-auth-code': authCode,
  'x-platform': platform,
  'x-user-type': userType,
});

// One request of each kind of refusal, and the reason it must carry.
const REFUSALS = [
  ['missing-header', { 'x-auth-code': code, 'x-platform': 'ANDROID' }],
  ['repeated-header', { ...headersFor(code), 'x-platform': ['ANDROID', 'ANDROID'] }],
  ['unknown-combination', headersFor(code, 'WEB', 'KIOSK')],
  ['malformed-code', headersFor(withCost(code, 13))],
  ['mismatch', headersFor(tamper(code))],
];

const validator = createValidator({ threads: 1 });
after(() => validator.close());

const servers = [];
after(() => {
  for (const server of servers) {
    server.closeAllConnections();
    server.close();
  }
});

async function listen(app) {
  const server = http.createServer(app);
  servers.push(server);
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  return `http://127.0.0.1:${server.address().port}`;
}

// The application's own error handler answers from the error alone, and
// says which reason it was given.
function expressApp(makeApp, options) {
  const app = makeApp();
  app.use(authMiddleware(options));
  app.get('/', (req, res) => res.json({ auth: req.auth }));
  app.use((err, req, res, _next) => {
    const typed = err instanceof HeaderValidatorHttpError;
    res.status(err.statusCode).set(err.headers).json({ typed, code: err.code, reason: err.reason });
  });
  return app;
}

const frameworks = {
  'express 5': (options) => listen(expressApp(express, options)),
  'express 4': (options) => listen(expressApp(express4, options)),
  async fastify(options) {
    const app = Fastify();
    app.addHook('onRequest', fastifyAuthHook(options));
    app.get('/', async (request) => ({ auth: request.auth }));
    app.setErrorHandler((err, request, reply) => {
      const typed = err instanceof HeaderValidatorHttpError;
      reply.code(err.statusCode).headers(err.headers).send({ typed, code: err.code, reason: err.reason });
    });
    after(() => app.close());
    await app.listen({ host: '127.0.0.1', port: 0 });
    return `http://127.0.0.1:${app.server.address().port}`;
  },
};

describe('reasons', () => {
  for (const [name, start] of Object.entries(frameworks)) {
    it(`${name}: failWithError hands on each refusal's reason; the answered 401 names none`, async () => {
      const handled = await start({ host: HOST, validator, failWithError: true });
      const answered = await start({ host: HOST, validator });
      for (const [reason, headers] of REFUSALS) {
        const viaHandler = await rawRequest(handled, { headers });
        assert.equal(viaHandler.status, 401, reason);
        assert.deepEqual(JSON.parse(viaHandler.body), {
          typed: true,
          code: 'ERR_HEADER_VALIDATOR_UNAUTHORIZED',
          reason,
        });
        const direct = await rawRequest(answered, { headers });
        assert.deepEqual([direct.status, direct.body], [401, '{"error":"unauthorized"}'], reason);
      }
    });
  }

  it('a closed validator answers 503 "unavailable" with its own code and reason, not "overloaded"', async () => {
    const closed = createValidator({ threads: 1 });
    await closed.close();
    const plain = await frameworks['express 5']({ host: HOST, validator: closed });
    const handled = await frameworks['express 5']({ host: HOST, validator: closed, failWithError: true });
    const answer = await rawRequest(plain, { headers: headersFor(code) });
    assert.deepEqual(
      [answer.status, answer.headers['retry-after'], answer.body],
      [503, '1', '{"error":"unavailable"}'],
    );
    const viaHandler = await rawRequest(handled, { headers: headersFor(code) });
    assert.equal(viaHandler.status, 503);
    assert.deepEqual(JSON.parse(viaHandler.body), {
      typed: true,
      code: 'ERR_HEADER_VALIDATOR_CLOSED',
      reason: 'closed',
    });
  });
});

describe('host', () => {
  it('a constant host the table does not hold is a TypeError when the middleware, hook or plugin is made', async () => {
    // A control character in the name is printed escaped; the table's hosts are named.
    const misspelt = 'api.example.co\n';
    const named = /'api\.example\.co\\x0A' is not a host of the token table, which holds: .*'example\.com'/;
    assert.throws(
      () => authMiddleware({ host: misspelt }),
      (err) => err instanceof TypeError && named.test(err.message),
    );
    assert.throws(() => fastifyAuthHook({ host: 'Example.com' }), /'Example\.com' is not a host/);
    const app = Fastify();
    app.register(fastifyHeaderValidator, { host: 'example.co' });
    await assert.rejects(app.ready(), /fastifyHeaderValidator: host 'example\.co' is not a host of the token table/);
  });

  it('a host function that returns a host the table does not hold is a 500, whatever the headers', async () => {
    const url = await frameworks['express 5']({ host: () => 'example.co', validator });
    for (const headers of [headersFor(code), {}]) {
      const answer = await rawRequest(url, { headers });
      assert.equal(answer.status, 500);
      assert.equal(JSON.parse(answer.body).code, 'ERR_HEADER_VALIDATOR_HOST');
    }
  });
});

describe('requestProperty', () => {
  it('names the property that receives who the request was authenticated as', async () => {
    const app = express();
    app.use(authMiddleware({ host: HOST, validator, requestProperty: 'headerAuth' }));
    app.get('/', (req, res) => res.json({ headerAuth: req.headerAuth, auth: req.auth ?? null }));
    const answer = await rawRequest(await listen(app), { headers: headersFor(code) });
    assert.deepEqual(JSON.parse(answer.body), {
      headerAuth: { platform: 'ANDROID', userType: 'STORE', host: HOST, token: 'current' },
      auth: null,
    });
  });

  it('refuses names that are no identifier, or that requests already have', () => {
    const bad = ['', '1st', '_auth', 'a-b', '__proto__', 'constructor', 'prototype', 'toString', 'headers', 'socket'];
    for (const requestProperty of [...bad, 'query', 'body', 'params', 'hostname', 'raw', 'log', 'x'.repeat(65), 7]) {
      assert.throws(
        () => authMiddleware({ host: HOST, requestProperty }),
        /authMiddleware: requestProperty must/,
        String(requestProperty),
      );
    }
  });
});

describe('the Fastify plugin in several scopes', () => {
  it('registers in nested scopes, each checking with its own options', async () => {
    const app = Fastify();
    await app.register(fastifyAuth);
    await app.register(fastifyHeaderValidator, { host: HOST, validator, hook: false });
    app.get('/outer', { preHandler: app.auth([app.verifyAuthCode]) }, async (request) => request.auth);
    await app.register(async (inner) => {
      await inner.register(fastifyHeaderValidator, { host: 'www.example.com', validator, hook: false });
      inner.get('/inner', { preHandler: inner.auth([inner.verifyAuthCode]) }, async (request) => request.auth);
    });
    after(() => app.close());
    const wwwCode = demoCode('ANDROID', 'STORE', 'www.example.com');
    const status = async (url, authCode) => (await app.inject({ url, headers: headersFor(authCode) })).statusCode;
    assert.deepEqual(
      [await status('/outer', code), await status('/outer', wwwCode)],
      [200, 401],
      'the outer scope checks for its own host',
    );
    assert.deepEqual(
      [await status('/inner', wwwCode), await status('/inner', code)],
      [200, 401],
      'the inner scope checks for its own host',
    );
  });

  it('refuses a request property that another plugin decorated', async () => {
    const app = Fastify();
    app.decorateRequest('headerAuth', null);
    app.register(fastifyHeaderValidator, { host: HOST, validator, requestProperty: 'headerAuth' });
    await assert.rejects(app.ready(), /request\.headerAuth is already decorated by another plugin/);
  });
});
