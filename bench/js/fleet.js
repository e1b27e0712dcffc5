'use strict';

// A fleet of four server processes (fleet-server.js: node:http behind
// authMiddleware, one pool thread each) on this machine, with and without the
// shared level in one Redis (redis-server on a Unix socket, started as the
// tests start it). This process is the client: for each of 200 distinct fresh
// valid codes, one request to each of the four servers at once, as clients
// behind a round-robin balancer reach them, 8 codes at a time. Then:
//   - hashes per distinct code (the servers' bcryptChecks), with and without;
//   - what a Redis hit costs over an in-process hit: codes checked by server 0
//     first, then sent to server 1 twice, one at a time (a shared hit, then an
//     in-process one), timed by the client and by the checks' own events;
//   - request latency while Redis is paused (SIGSTOP: every command runs into
//     its time limit) and killed (commands fail at once), for fresh codes
//     spread as above, and for codes the servers have seen.
// Codes are cost 10, a quarter of a cost-12 hash, so that the fleet without
// the level hashes 800 codes in seconds; hash counts do not depend on the cost.

const { fork } = require('node:child_process');
const http = require('node:http');
const path = require('node:path');
const bcrypt = require('bcrypt');
const common = require('./common');
const { startRedis } = require(path.join(common.ROOT, 'test', 'support', 'redis-server.js'));

const SERVER = path.join(__dirname, 'fleet-server.js');
const SERVERS = 4;
const CODES_AT_ONCE = 8;
const COST = 10;
const { platform, userType } = common.COMBO;

function startServer(socket) {
  const child = fork(SERVER, [JSON.stringify({ socket })], { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  const agent = new http.Agent({ keepAlive: true, maxSockets: 4 * CODES_AT_ONCE });
  return new Promise((resolve, reject) => {
    child.once('error', reject);
    child.once('exit', (code) => reject(new Error(`a fleet server exited with ${code}`)));
    child.once('message', ({ port }) => resolve({ child, port, agent }));
  });
}

// The server's counters, and its checks' durations by cache state since the last call.
function statsOf({ child }) {
  return new Promise((resolve) => {
    child.once('message', resolve);
    child.send('stats');
  });
}

function closeServer({ child, agent }) {
  agent.destroy();
  child.removeAllListeners('exit');
  const exited = new Promise((resolve) => child.once('exit', resolve));
  child.send('close');
  return exited;
}

function request({ port, agent }, code) {
  return new Promise((resolve, reject) => {
    const start = performance.now();
    const headers = { 'x-auth-code': code, 'x-platform': platform, 'x-user-type': userType };
    const req = http.request({ host: '127.0.0.1', port, path: '/', agent, headers }, (res) => {
      res.resume();
      res.on('end', () => resolve({ status: res.statusCode, ms: performance.now() - start }));
    });
    req.on('error', reject);
    req.end();
  });
}

async function freshCodes(n) {
  const token = common.demoToken();
  return Promise.all(Array.from({ length: n }, () => bcrypt.hash(token, COST)));
}

function latency(samples) {
  const sorted = samples.map((s) => s.ms).sort((a, b) => a - b);
  const at = (p) => sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
  return { p50: at(0.5), p90: at(0.9), p99: at(0.99), max: sorted[sorted.length - 1], n: sorted.length };
}

function statuses(samples) {
  const counts = {};
  for (const { status } of samples) counts[status] = (counts[status] ?? 0) + 1;
  return counts;
}

// Each code to every server at once, CODES_AT_ONCE codes at a time; each
// code's first request goes to the next server in turn, as a balancer's would.
async function spread(fleet, codes) {
  const samples = [];
  let next = 0;
  const client = async () => {
    while (next < codes.length) {
      const i = next++;
      const order = fleet.map((_, k) => fleet[(i + k) % fleet.length]);
      samples.push(...(await Promise.all(order.map((server) => request(server, codes[i])))));
    }
  };
  const start = performance.now();
  await Promise.all(Array.from({ length: CODES_AT_ONCE }, client));
  return { samples, seconds: (performance.now() - start) / 1000 };
}

// Counters summed over the fleet, and the checks' durations (ms) by cache state since the last call.
async function fleetCounters(fleet) {
  const all = await Promise.all(fleet.map(statsOf));
  const sum = (read) => all.reduce((total, { counters }) => total + (read(counters) ?? 0), 0);
  const shared = (name) => sum((c) => c.shared?.[name]);
  const durations = {};
  for (const { durations: own } of all) {
    for (const [cache, list] of Object.entries(own)) (durations[cache] ??= []).push(...list);
  }
  const counters = {
    bcryptChecks: sum((c) => c.bcryptChecks),
    cacheHits: sum((c) => c.cacheHits),
    sharedHits: shared('hits'),
    sharedMisses: shared('misses'),
    lockWaits: shared('lockWaits'),
    unavailable: shared('unavailable'),
    errors: shared('errors'),
  };
  return { counters, durations };
}

const delta = (after, before) => Object.fromEntries(Object.keys(after).map((k) => [k, after[k] - before[k]]));

// Spreads the codes over the fleet and says what it cost.
async function measure(fleet, codes) {
  const { counters: before } = await fleetCounters(fleet);
  const { samples, seconds } = await spread(fleet, codes);
  const { counters: after, durations } = await fleetCounters(fleet);
  const counted = delta(after, before);
  return {
    checkMs: Object.fromEntries(Object.entries(durations).map(([cache, list]) => [cache, common.summary(list)])),
    codes: codes.length,
    requests: samples.length,
    seconds,
    hashesPerCode: counted.bcryptChecks / codes.length,
    counters: counted,
    latencyMs: latency(samples),
    statuses: statuses(samples),
  };
}

async function startFleet(socket, warmUpCode) {
  const fleet = await Promise.all(Array.from({ length: SERVERS }, () => startServer(socket)));
  // Starts every pool, outside what is measured.
  await Promise.all(fleet.map((server) => request(server, warmUpCode)));
  return fleet;
}

async function main() {
  const opts = common.options();
  const n = opts.quick ? { spread: 40, sequential: 10, down: 10 } : { spread: 200, sequential: 50, down: 50 };
  let redis;
  try {
    redis = await startRedis();
  } catch (err) {
    return common.report(opts, { skipped: err.message });
  }
  try {
    const [warmUp, ...codes] = await freshCodes(1 + n.spread + n.sequential + 2 * n.down);
    const spreadCodes = codes.slice(0, n.spread);
    const sequentialCodes = codes.slice(n.spread, n.spread + n.sequential);
    const downCodes = { paused: codes.slice(-2 * n.down, -n.down), killed: codes.slice(-n.down) };

    const plain = await startFleet(null, warmUp);
    const without = await measure(plain, spreadCodes);
    await Promise.all(plain.map(closeServer));

    // The same codes: new to these processes, and to Redis.
    const fleet = await startFleet(redis.socket, warmUp);
    const withLevel = await measure(fleet, spreadCodes);

    // A shared hit against an in-process hit, one request at a time.
    const [first, second] = fleet;
    await statsOf(second);
    const shared = [];
    const inProcess = [];
    for (const code of sequentialCodes) {
      await request(first, code);
      shared.push(await request(second, code));
      inProcess.push(await request(second, code));
    }
    const { durations } = await statsOf(second);
    const median = (list) => common.summary(list).median;
    const hitLatency = {
      requests: sequentialCodes.length,
      sharedMs: latency(shared),
      inProcessMs: latency(inProcess),
      addedMs: median(shared.map((s, i) => s.ms - inProcess[i].ms)),
      checkSharedMs: common.summary(durations.shared ?? []),
      checkInProcessMs: common.summary(durations.hit ?? []),
    };

    // Redis paused, then killed: fresh codes, then codes seen before.
    redis.pause();
    const paused = await measure(fleet, downCodes.paused);
    redis.resume();
    await redis.kill();
    const killed = await measure(fleet, downCodes.killed);
    const seen = await measure(fleet, spreadCodes.slice(0, n.down));
    await Promise.all(fleet.map(closeServer));

    common.report(opts, {
      servers: SERVERS,
      threadsPerServer: 1,
      cores: require('node:os').availableParallelism(),
      cost: COST,
      codesAtOnce: CODES_AT_ONCE,
      redis: 'redis-server on a Unix socket, same machine; node-redis with disableOfflineQueue',
      sharedDefaults: require(path.join(common.ROOT, 'lib', 'shared-cache')).SHARED_CACHE_DEFAULTS,
      without,
      with: withLevel,
      hitLatency,
      down: { paused, killed, seen },
    });
  } finally {
    await redis.stop();
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
