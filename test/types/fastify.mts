// A Fastify 5 app through 'header-validator/fastify': the plugin's options see
// FastifyRequest, request.auth is typed by the plugin's own augmentation.
import Fastify from 'fastify';
import fastifyAuth from '@fastify/auth';
import fastifyHeaderValidatorDefault, { fastifyAuthHook, fastifyHeaderValidator } from 'header-validator/fastify';
import type { AuthInfo } from 'header-validator';

const fastify = Fastify();
await fastify.register(fastifyHeaderValidator, {
  host: (req) => req.hostname,
  skip: (req) => req.method === 'OPTIONS',
  failWithError: true,
});
fastify.get('/orders', async (request) => {
  const who: AuthInfo | undefined = request.auth;
  return { who };
});

// Per route, with @fastify/auth.
const scoped = Fastify();
await scoped.register(fastifyAuth);
await scoped.register(fastifyHeaderValidatorDefault, { host: 'example.com', hook: false });
scoped.get('/admin', { preHandler: scoped.auth([scoped.verifyAuthCode]) }, async (request) => request.auth ?? null);

// The bare hook, typed with Fastify's request too.
fastify.addHook('onRequest', fastifyAuthHook({ host: (req) => req.hostname }));
// @ts-expect-error hook is a boolean
await fastify.register(fastifyHeaderValidator, { host: 'example.com', hook: 'yes' });

// Again in a scope inside, with options of its own.
await fastify.register(async (admin) => {
  await admin.register(fastifyHeaderValidator, { host: 'www.example.com', requestProperty: 'headerAuth' });
});

export { fastify, scoped };
