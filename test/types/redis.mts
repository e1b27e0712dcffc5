// The shared level's option against the real clients' own types: a node-redis
// client as it is, an ioredis one through fromIoredis, and what is refused.
import { Redis } from 'ioredis';
import { createClient, createCluster } from 'redis';
import { createValidator, fromIoredis, type CheckCache, type SharedLevelCounters } from 'header-validator';

const client = createClient({ url: 'redis://127.0.0.1:6379', disableOfflineQueue: true });
const withRedis = createValidator({
  redis: { client, timeoutMs: 20, ttl: { valid: 3_600_000 }, lock: { waitMs: 500 } },
});
createValidator({ redis: { client: createCluster({ rootNodes: [{ url: 'redis://127.0.0.1:7000' }] }) } });
createValidator({ redis: { client: fromIoredis(new Redis({ enableOfflineQueue: false })), secret: Buffer.alloc(32) } });
// @ts-expect-error an ioredis client calls its commands otherwise: it goes through fromIoredis
createValidator({ redis: { client: new Redis() } });
// @ts-expect-error the client is required
createValidator({ redis: { ttl: { valid: 1000 } } });
// @ts-expect-error unknown lock option
createValidator({ redis: { client, lock: { retries: 3 } } });

const shared: SharedLevelCounters | undefined = withRedis.stats().counters.shared;
const hits: number = shared?.hits ?? 0;
const where: CheckCache = 'shared';

export { hits, where };
