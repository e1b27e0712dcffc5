'use strict';

// Fastify onRequest hook: fastify.addHook('onRequest', fastifyAuthHook({ host })).

const { authenticate, readAuthOptions } = require('./authenticate');

function fastifyAuthHook(options) {
  const settings = readAuthOptions(options, 'fastifyAuthHook');
  return async function headerValidatorAuth(request, reply) {
    const outcome = await authenticate(request, request.raw, settings);
    if (outcome.skipped) return undefined;
    if (outcome.auth) {
      request.auth = outcome.auth;
      return undefined;
    }
    reply
      .code(outcome.status)
      .headers({ ...outcome.headers, 'content-type': 'application/json', 'cache-control': 'no-store' });
    return reply.send(outcome.body);
  };
}

module.exports = { fastifyAuthHook };
