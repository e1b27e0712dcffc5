import fastify from './fastify-plugin.js';

export const { fastifyHeaderValidator, fastifyAuthHook } = fastify;
export default fastifyHeaderValidator;
