// The ESM entry: the plugin is also the default export.
import { fastifyHeaderValidator } from './fastify.js';

export * from './fastify.js';
export default fastifyHeaderValidator;
