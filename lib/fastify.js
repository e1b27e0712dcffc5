'use strict';

// Fastify onRequest hook: fastify.addHook('onRequest', fastifyAuthHook({ host })).
// The plugin in fastify-plugin.js registers the same check with decorations.

const { authenticate, readAuthOptions } = require('./authenticate');
const { letsThrough, responseHeaders, answerAsError } = require('./http-answer');

const setHeader = (reply, name, value) => reply.header(name, value);

/**
 * The check as a Fastify hook. It answers 401 and 503 itself, or, with
 * failWithError, throws them to Fastify's error handling.
 */
function hookFromSettings(settings) {
  return async function headerValidatorAuth(request, reply) {
    const outcome = await authenticate(request, request.raw, settings);
    if (letsThrough(outcome, request, settings.requestProperty, reply, setHeader)) return undefined;
    if (settings.failWithError) throw answerAsError(outcome);
    reply.code(outcome.status).headers(responseHeaders(outcome));
    return reply.send(outcome.body);
  };
}

function fastifyAuthHook(options) {
  return hookFromSettings(readAuthOptions(options, 'fastifyAuthHook'));
}

module.exports = { fastifyAuthHook, hookFromSettings };
