'use strict';

// An ioredis client (or Cluster) as the shared cache's client: the three
// commands it sends, in node-redis's calling convention. Never loads ioredis.

const METHODS = ['get', 'set', 'eval'];

/** @param {{ get: Function, set: Function, eval: Function }} redis a connected ioredis Redis or Cluster */
function fromIoredis(redis) {
  if (redis === null || typeof redis !== 'object' || METHODS.some((m) => typeof redis[m] !== 'function')) {
    throw new TypeError(
      `fromIoredis: redis must be an ioredis Redis or Cluster, with its ${METHODS.join(', ')} methods`,
    );
  }
  return Object.freeze({
    get: (key) => redis.get(key),
    set: (key, value, { expiration, condition }) =>
      condition
        ? redis.set(key, value, expiration.type, expiration.value, condition)
        : redis.set(key, value, expiration.type, expiration.value),
    eval: (script, { keys, arguments: args }) => redis.eval(script, keys.length, ...keys, ...args),
  });
}

module.exports = { fromIoredis };
