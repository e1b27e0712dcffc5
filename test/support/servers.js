'use strict';

// The same small app on node:http, Express 5 and 4 and Fastify, on 127.0.0.1
// with a free port: GET /whoami answers who the request was authenticated as,
// /health and OPTIONS are for the skip option. Each records its route calls and
// the errors passed on to it.

const http = require('node:http');
const { once } = require('node:events');
const express = require('express');
const express4 = require('express4');
const Fastify = require('fastify');
const { authMiddleware, fastifyAuthHook } = require('../../lib');

function answer(req, res, state) {
  state.routeCalls += 1;
  if (req.method === 'OPTIONS') {
    res.writeHead(204, { 'access-control-allow-headers': 'x-auth-code, x-platform, x-user-type' });
    return res.end();
  }
  if (req.url === '/health') return res.end('ok');
  res.writeHead(200, { 'content-type': 'application/json' });
  return res.end(JSON.stringify({ auth: req.auth ?? null }));
}

async function listen(server) {
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  return `http://127.0.0.1:${server.address().port}`;
}

// An Express app of either major version: they spell "every path" apart.
function expressServer(makeApp, everyPath) {
  return async (options, { before = () => {} } = {}) => {
    const state = { routeCalls: 0, errors: [] };
    const app = makeApp();
    app.use((req, res, next) => {
      before(req);
      next();
    });
    app.use(authMiddleware(options));
    app.all(everyPath, (req, res) => answer(req, res, state));
    // Express tells error handlers by their four parameters.
    app.use((err, req, res, _next) => {
      state.errors.push(err);
      res.status(500).json({ error: 'server error' });
    });
    const server = http.createServer(app);
    const url = await listen(server);
    const close = () => {
      server.closeAllConnections();
      return new Promise((resolve) => server.close(resolve));
    };
    return { url, state, close };
  };
}

const frameworks = {
  async 'node:http'(options, { before = () => {} } = {}) {
    const state = { routeCalls: 0, errors: [] };
    const auth = authMiddleware(options);
    const server = http.createServer((req, res) => {
      before(req);
      auth(req, res, (err) => {
        if (!err) return answer(req, res, state);
        state.errors.push(err);
        res.writeHead(500).end();
      });
    });
    const url = await listen(server);
    const close = () => {
      server.closeAllConnections();
      return new Promise((resolve) => server.close(resolve));
    };
    return { url, state, close };
  },

  express: expressServer(express, '/{*path}'),
  'express 4': expressServer(express4, '*'),

  async fastify(options, { before = () => {} } = {}) {
    const state = { routeCalls: 0, errors: [] };
    const app = Fastify();
    app.addHook('onRequest', (request, reply, done) => {
      before(request);
      done();
    });
    app.addHook('onRequest', fastifyAuthHook(options));
    const route = async (request, reply) => {
      state.routeCalls += 1;
      if (request.method === 'OPTIONS') return reply.code(204).send();
      if (request.url === '/health') return 'ok';
      return { auth: request.auth ?? null };
    };
    app.route({ method: ['GET', 'OPTIONS'], url: '/*', handler: route });
    app.setErrorHandler((err, request, reply) => {
      state.errors.push(err);
      reply.code(500).send({ error: 'server error' });
    });
    await app.listen({ host: '127.0.0.1', port: 0 });
    return { url: `http://127.0.0.1:${app.server.address().port}`, state, close: () => app.close() };
  },
};

// node:http client for what fetch cannot send: a chosen Host header, or one
// header on several lines.
function rawRequest(url, { method = 'GET', headers = {} } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers, agent: false }, (res) => {
      let body = '';
      res.setEncoding('utf8').on('data', (chunk) => (body += chunk));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', reject);
    req.end();
  });
}

module.exports = { frameworks, rawRequest };
