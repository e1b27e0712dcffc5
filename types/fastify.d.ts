// `header-validator/fastify`: the Fastify plugin and hook, typed with Fastify's
// own request and reply. Needs Fastify's types (the fastify package).
import type { FastifyPluginAsync, FastifyReply, FastifyRequest, onRequestAsyncHookHandler } from 'fastify';
import type { AuthInfo, AuthOptions } from './index.js';

declare module 'fastify' {
  interface FastifyRequest {
    /** Who the plugin (or fastifyAuthHook) authenticated the request as, with the default requestProperty. */
    auth?: AuthInfo;
  }
  interface FastifyInstance {
    /**
     * A verify function for @fastify/auth: resolves when the request is authenticated (setting request.auth) or
     * skipped, and rejects with a HeaderValidatorError of status 401 or 503, carrying the answer's headers, when not.
     */
    verifyAuthCode(request: FastifyRequest, reply: FastifyReply): Promise<void>;
  }
}

export interface FastifyHeaderValidatorOptions extends AuthOptions<FastifyRequest> {
  /**
   * Add the check as an onRequest hook in the scope that registers the plugin (default true); false registers only
   * the decorations, for routes that use fastify.verifyAuthCode with @fastify/auth.
   */
  hook?: boolean;
}

/** fastify.register(fastifyHeaderValidator, { host }): request.auth, the onRequest hook, fastify.verifyAuthCode. */
export declare const fastifyHeaderValidator: FastifyPluginAsync<FastifyHeaderValidatorOptions>;

/** The check alone, as an onRequest hook: fastify.addHook('onRequest', fastifyAuthHook({ host })). */
export declare function fastifyAuthHook(options: AuthOptions<FastifyRequest>): onRequestAsyncHookHandler;

export default fastifyHeaderValidator;
