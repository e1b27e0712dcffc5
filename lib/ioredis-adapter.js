'use strict';

// An ioredis client (or Cluster) as the shared cache's client: the three
// commands it sends, in node-redis's calling convention. Never loads ioredis.

/** @param {{ get: Function, set: Function, eval: Function }} redis a connected ioredis Redis or Cluster */
function fromIoredis(redis) {
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
