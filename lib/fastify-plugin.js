'use strict';

// `header-validator/fastify`: fastify.register(fastifyHeaderValidator, { host, ... }).
// Decorates request.auth, adds the check as an onRequest hook (unless
// `hook: false`), and decorates fastify.verifyAuthCode, a verify function for
// @fastify/auth that throws the refusal instead of answering it.

const fp = require('fastify-plugin');
const { authenticate, readAuthOptions } = require('./authenticate');
const { letsThrough, answerAsError } = require('./http-answer');
const { checkBoolean } = require('./options');
const { hookFromSettings } = require('./fastify');

async function fastifyHeaderValidator(fastify, options) {
  const { hook = true, ...authOptions } = options ?? {};
  checkBoolean(hook, 'fastifyHeaderValidator', 'hook');
  const settings = readAuthOptions(authOptions, 'fastifyHeaderValidator');

  fastify.decorateRequest('auth', undefined);
  fastify.decorate('verifyAuthCode', async function verifyAuthCode(request) {
    const outcome = await authenticate(request, request.raw, settings);
    if (!letsThrough(outcome, request)) throw answerAsError(outcome);
  });
  if (hook) fastify.addHook('onRequest', hookFromSettings(settings));
}

// fastify-plugin keeps the decorations and the hook in the scope that
// registers the plugin, instead of a child context of its own.
const plugin = fp(fastifyHeaderValidator, { fastify: '5.x', name: 'header-validator' });

module.exports = {
  fastifyHeaderValidator: plugin,
  fastifyAuthHook: require('./fastify').fastifyAuthHook,
  default: plugin,
};
