'use strict';

// `header-validator/fastify`: fastify.register(fastifyHeaderValidator, { host, ... }).
// Decorates request[requestProperty] (request.auth by default), adds the check
// as an onRequest hook (unless `hook: false`), and decorates
// fastify.verifyAuthCode, a verify function for @fastify/auth that throws the
// refusal instead of answering it. It may be registered in several scopes of
// one app, nested ones included: each scope checks with its own options.

const fp = require('fastify-plugin');
const { authenticate, readAuthOptions } = require('./authenticate');
const { letsThrough, answerAsError } = require('./http-answer');
const { checkBoolean } = require('./options');
const { hookFromSettings } = require('./fastify');

// Set on the Fastify instance of each scope that registers the plugin; the
// scopes inside it inherit them. Settings: what verifyAuthCode checks with;
// properties: the request properties that this plugin decorated.
const SETTINGS = Symbol('header-validator settings');
const PROPERTIES = Symbol('header-validator request properties');

const WHERE = 'fastifyHeaderValidator';

function decoratedByOthers(what) {
  return new TypeError(`${WHERE}: ${what} is already decorated by another plugin; choose another requestProperty`);
}

async function fastifyHeaderValidator(fastify, options) {
  const { hook = true, ...authOptions } = options ?? {};
  checkBoolean(hook, WHERE, 'hook');
  const settings = readAuthOptions(authOptions, WHERE);
  const property = settings.requestProperty;

  // A scope inside one that registered the plugin already has its decorations.
  const ours = fastify[PROPERTIES] ?? new Set();
  if (!ours.has(property)) {
    if (fastify.hasRequestDecorator(property)) throw decoratedByOthers(`request.${property}`);
    fastify.decorateRequest(property, undefined);
    fastify[PROPERTIES] = new Set([...ours, property]);
  }
  if (fastify[SETTINGS] === undefined) {
    if (fastify.hasDecorator('verifyAuthCode')) {
      throw new TypeError(`${WHERE}: fastify.verifyAuthCode is already decorated by another plugin`);
    }
    fastify.decorate('verifyAuthCode', verifyAuthCode);
  }
  fastify[SETTINGS] = settings;
  if (hook) fastify.addHook('onRequest', hookFromSettings(settings));
}

// A verify function may be called without the reply (not by @fastify/auth).
const setHeader = (reply, name, value) => reply?.header(name, value);

// Checks with the options of the nearest scope around the request's route
// that registered the plugin (or around the instance it is called on).
async function verifyAuthCode(request, reply) {
  const settings = request.server?.[SETTINGS] ?? this?.[SETTINGS];
  const outcome = await authenticate(request, request.raw, settings);
  if (!letsThrough(outcome, request, settings.requestProperty, reply, setHeader)) throw answerAsError(outcome);
}

// fastify-plugin keeps the decorations and the hook in the scope that
// registers the plugin, instead of a child context of its own. Fastify 5 only.
const plugin = fp(fastifyHeaderValidator, { fastify: '5.x', name: 'header-validator' });

module.exports = {
  fastifyHeaderValidator: plugin,
  fastifyAuthHook: require('./fastify').fastifyAuthHook,
  default: plugin,
};
