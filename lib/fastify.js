'use strict';

// Fastify onRequest hook: fastify.addHook('onRequest', fastifyAuthHook({ host })).
// The plugin in fastify-plugin.js registers the same check with decorations.

const { authenticate, readAuthOptions, failure } = require('./authenticate');

/**
 * The check as a Fastify hook. It answers 401 and 503 itself, or, with
 * failWithError, throws them to Fastify's error handling.
 */
function hookFromSettings(settings) {
  return async function headerValidatorAuth(request, reply) {
    const outcome = await authenticate(request, request.raw, settings);
    if (outcome.skipped) return undefined;
    if (outcome.auth) {
      request.auth = outcome.auth;
      return undefined;
    }
    if (settings.failWithError) throw failure(outcome);
    reply
      .code(outcome.status)
      .headers({ ...outcome.headers, 'content-type': 'application/json', 'cache-control': 'no-store' });
    return reply.send(outcome.body);
  };
}

function fastifyAuthHook(options) {
  return hookFromSettings(readAuthOptions(options, 'fastifyAuthHook'));
}

module.exports = { fastifyAuthHook, hookFromSettings };
