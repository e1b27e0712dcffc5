'use strict';

// The request path: node:http servers on 127.0.0.1, one bare and one behind
// authMiddleware (default cache, one pool thread per core), driven by
// autocannon in separate processes (load-client.js):
//   1. one valid code re-sent by every request, bare and authenticated;
//   2. a fresh valid code on every request, a full hash each;
//   3. legitimate clients re-sending codes the server has seen, beside a
//      flood of fresh, well-formed codes that match nothing;
//   4. a flood of malformed codes, refused on the main thread;
//   5. first sight: 100 concurrent requests with one code never seen before;
//   6. a token rotation: a flood of wrong codes for a combination without and
//      with a previous token (each costs one hash, and two), and a code of the
//      previous token re-sent beside one of the current token (both cached).
//      The build with a previous table is the rotation test pair of modules
//      (test/tables) with the JavaScript layer beside it, in a temporary folder.
// For each: requests/s, latency, statuses, the CPU of the server's main thread
// and of its other threads (the pool), and the hashes the validator ran.
//
// --only=repeated runs the first scenario alone (bare and authenticated), to
// compare the cost of the middleware on a cache hit before and after a change;
// --only=rotation runs the sixth alone.

const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const bcrypt = require('bcryptjs');
const common = require('./common');
const { rotationPackage } = require('../../test/support/rotation-package');

const { COMBO } = common;
const CLIENT = path.join(__dirname, 'load-client.js');
const TICKS_PER_S = 100; // USER_HZ in /proc/<pid>/task/<tid>/stat

function client(config) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [CLIENT, JSON.stringify(config)], { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.setEncoding('utf8').on('data', (chunk) => (out += chunk));
    child.on('error', reject);
    child.on('close', (status) => {
      if (status !== 0) return reject(new Error(`load-client exited with ${status}`));
      try {
        resolve(JSON.parse(out));
      } catch (err) {
        reject(new Error(`load-client printed no JSON report: ${err.message}`));
      }
    });
  });
}

const sum = (counts) => Object.values(counts).reduce((total, n) => total + n, 0);
// Checks the validator has answered, whatever the outcome.
const answered = (counters) => counters.valid + sum(counters.invalid) + sum(counters.shed) + sum(counters.error);

// CPU seconds of this process's main thread alone.
function mainThreadSeconds() {
  const stat = fs.readFileSync(`/proc/self/task/${process.pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / TICKS_PER_S; // utime, stime
}

// Microseconds of the server's main thread per request answered.
const mainThreadUsPerRequest = (scenario) => (scenario.mainThreadCores * scenario.wallS * 1e6) / scenario.total;

// The re-sent code, bare and behind the middleware, over pairs of runs taken
// one after the other: medians. Requests per second swing with whatever shares
// the machine's cores (the load clients among them); the main thread's CPU
// time per request is the server's own cost, and the ratio of the two is the
// throughput ratio of a server whose main thread is the bottleneck.
function resentFigures(pairs) {
  const median = (values) => common.summary(values).median;
  const over = (f) => median(pairs.map(f));
  const rate = (row) => row.requestsPerSecond.overall;
  return {
    pairs: pairs.length,
    barePerSecond: over((p) => rate(p.bare)),
    authPerSecond: over((p) => rate(p.auth)),
    ratio: over((p) => rate(p.auth) / rate(p.bare)),
    bareCpuUs: over((p) => mainThreadUsPerRequest(p.bare)),
    authCpuUs: over((p) => mainThreadUsPerRequest(p.auth)),
    cpuRatio: over((p) => mainThreadUsPerRequest(p.bare) / mainThreadUsPerRequest(p.auth)),
    cpuRatios: pairs.map((p) => mainThreadUsPerRequest(p.bare) / mainThreadUsPerRequest(p.auth)),
  };
}

function summarise(report) {
  const { requests, latency } = report;
  const statusCodes = report.statusCodeStats ?? {};
  const answered = Object.values(statusCodes).reduce((sum, v) => sum + v.count, 0);
  return {
    // Over the whole run; autocannon's once-a-second counts give the spread.
    requestsPerSecond: {
      overall: requests.total / report.duration,
      median: requests.p50,
      min: requests.min,
      max: requests.max,
    },
    latencyMs: { p50: latency.p50, p90: latency.p90, p99: latency.p99, max: latency.max, mean: latency.average },
    total: requests.total,
    statusCodes,
    share200: (statusCodes[200]?.count ?? 0) / Math.max(1, answered + report.errors + report.timeouts),
    errors: report.errors,
    timeouts: report.timeouts,
    durationS: report.duration,
  };
}

async function main() {
  const opts = common.options({ only: { type: 'string' } });
  if (opts.only !== undefined && !['repeated', 'rotation'].includes(opts.only)) {
    throw new Error('--only takes repeated or rotation');
  }
  const pkg = common.loadPackage();
  if (!pkg) throw new Error('the package layer (lib/index.js with validateRequestAsync) is not there');
  const { platform, userType, host } = COMBO;
  const threads = os.availableParallelism();
  const validator = pkg.createValidator({ threads });
  const auth = pkg.authMiddleware({ host, validator });
  const ok = (res) => res.writeHead(200, { 'content-type': 'text/plain' }).end('ok');
  const authServer = http.createServer((req, res) =>
    auth(req, res, (err) => (err ? res.writeHead(500).end() : ok(res))),
  );
  const bareServer = http.createServer((req, res) => ok(res));
  const listen = (server) =>
    new Promise((resolve) =>
      server.listen(0, '127.0.0.1', () => resolve(`http://127.0.0.1:${server.address().port}/`)),
    );
  const [authUrl, bareUrl] = [await listen(authServer), await listen(bareServer)];

  // Leftover checks of a scenario (a flood's queue) must not slow the next.
  const drained = async (target) => {
    while (target.validator.stats().gauges.inFlight > 0) await common.sleep(50);
  };
  // Made on the pool, a queue's worth at a time.
  const newCodes = async (n) => {
    const codes = [];
    while (codes.length < n) {
      const batch = Math.min(16, n - codes.length);
      codes.push(
        ...(await Promise.all(
          Array.from({ length: batch }, () => validator.generateAuthCodeAsync(platform, userType, host)),
        )),
      );
    }
    return codes;
  };

  const seconds = opts.quick ? 3 : 10;
  const freshRequests = opts.quick ? 30 : 100;
  const connections = 16;
  const [code, ...legitCodes] = await newCodes(5);
  // The server has seen these: each checked once.
  for (const c of [code, ...legitCodes]) await validator.validateRequestAsync(c, platform, userType, host);

  const scenarios = [];
  // The server the rows measure by default: the demo build's, behind authMiddleware.
  const demo = { url: authUrl, validator, platform, userType };
  // Runs the clients at once; the first is the one the row describes.
  async function measure(label, name, configs, target = demo, record = true) {
    await drained(target);
    const { url } = target;
    const before = {
      counters: target.validator.stats().counters,
      main: mainThreadSeconds(),
      cpu: process.cpuUsage(),
      at: Date.now(),
    };
    const reports = await Promise.all(
      configs.map((c) => client({ url, platform: target.platform, userType: target.userType, ...c })),
    );
    const wallS = (Date.now() - before.at) / 1000;
    const cpu = process.cpuUsage(before.cpu);
    const mainS = mainThreadSeconds() - before.main;
    const after = target.validator.stats().counters;
    const rows = reports.map((report, i) => ({
      label: i === 0 ? label : `${label}: flood`,
      name: i === 0 ? name : `↳ ${configs[i].what}`,
      connections: configs[i].connections,
      ...summarise(report),
      mainThreadCores: mainS / wallS,
      poolThreadsCores: Math.max(0, (cpu.user + cpu.system) / 1e6 - mainS) / wallS,
      hashes: after.bcryptChecks - before.counters.bcryptChecks,
      checks: answered(after) - answered(before.counters),
      wallS,
      shed: after.shed.overloaded - before.counters.shed.overloaded,
      cacheHits: after.cacheHits - before.counters.cacheHits,
      coalesced: after.coalesced - before.counters.coalesced,
    }));
    if (record) scenarios.push(...rows);
    return rows;
  }

  if (opts.only === 'rotation') {
    const rotation = await measureRotation(measure, { connections, seconds, threads, pairs: opts.quick ? 1 : 3 });
    authServer.close();
    bareServer.close();
    await validator.close();
    return common.report(opts, { threads, cores: os.availableParallelism(), seconds, scenarios, rotation });
  }
  // In pairs, every other one the other way round; the first pair's runs are the rows.
  const resentPairs = [];
  for (let pair = 0; pair < (opts.quick ? 1 : 3); pair++) {
    const runs = {};
    const sides = [
      ['bare', 'bare, one code', 'bare node:http, one valid code re-sent', { ...demo, url: bareUrl }],
      ['auth', 'auth, one code', 'authMiddleware, one valid code re-sent', demo],
    ];
    if (pair % 2 === 1) sides.reverse();
    for (const [side, label, name, target] of sides) {
      [runs[side]] = await measure(label, name, [{ connections, duration: seconds / 2, code }], target, pair === 0);
    }
    resentPairs.push(runs);
  }
  const resent = resentFigures(resentPairs);
  if (opts.only === 'repeated') {
    authServer.close();
    bareServer.close();
    await validator.close();
    return common.report(opts, { threads, seconds, scenarios, repeated: resent });
  }
  // Spares, since each connection builds one request ahead.
  const freshCodes = await newCodes(freshRequests + connections + 4);
  const sightCode = (await newCodes(1))[0];
  const [fresh] = await measure('auth, fresh codes', 'authMiddleware, a fresh valid code per request', [
    { connections, amount: freshRequests, codes: freshCodes },
  ]);
  const [legit, flood] = await measure('auth, flood', 'authMiddleware, 4 legitimate clients (codes seen before)', [
    { connections: legitCodes.length, duration: seconds, perConnection: legitCodes },
    { connections, duration: seconds, wrongCost: 12, what: 'flood: a fresh non-matching cost-12 code per request' },
  ]);
  await measure('auth, malformed', 'authMiddleware, malformed code', [
    { connections, duration: seconds, code: 'not-a-code' },
  ]);
  const [sight] = await measure('auth, first sight', 'authMiddleware, first sight: 100 at once, one new code', [
    { connections: 100, amount: 100, code: sightCode },
  ]);
  const rotation = await measureRotation(measure, { connections, seconds, threads, pairs: opts.quick ? 1 : 3 });

  authServer.close();
  bareServer.close();
  await validator.close();
  common.report(opts, {
    threads,
    cores: os.availableParallelism(),
    seconds,
    scenarios,
    repeated: resent,
    fresh: { requestsPerSecond: fresh.requestsPerSecond.overall, hashes: fresh.hashes },
    flood: {
      share200: legit.share200,
      legitTotal: legit.total,
      legitPerSecond: legit.requestsPerSecond.overall,
      legitP50Ms: legit.latencyMs.p50,
      legitP99Ms: legit.latencyMs.p99,
      floodStatusCodes: flood.statusCodes,
      mainThreadCores: legit.mainThreadCores,
      poolThreadsCores: legit.poolThreadsCores,
    },
    firstSight: {
      requests: 100,
      ok: sight.statusCodes[200]?.count ?? 0,
      bcryptChecks: sight.hashes,
      coalesced: sight.coalesced,
      cacheHits: sight.cacheHits,
    },
    rotation,
  });
}

// The rotation rows: the demo build (no previous table) and a build with one,
// each behind authMiddleware with a pool of `threads`. What a check costs is
// judged by CPU time, in pairs of runs taken one after the other and their
// median ratio, so that what other processes do to the machine meanwhile
// weighs on both sides of a ratio alike: the pool's time per check for a
// fixed number of wrong codes (every check of a run completes inside it; cost
// 10, for four times the samples of cost 12: the ratio of two hashes to one
// does not depend on the cost), the main thread's per request for a code
// re-sent (a previous token's with and without the two headers its response
// gets). The first pair's runs are the rows; requests per second beside.
async function measureRotation(measure, { connections, seconds, threads, pairs }) {
  const until = new Date(Date.now() + 30 * 86_400_000).toISOString();
  const { dir, host, tokens } = rotationPackage(until);
  try {
    const rotated = require(path.join(dir, 'lib'));
    const validator = rotated.createValidator({ threads });
    // On /quiet, without the Deprecation and Sunset headers that a previous token's code gets.
    const auth = rotated.authMiddleware({ host, validator });
    const quietAuth = rotated.authMiddleware({ host, validator, deprecationHeaders: false });
    const server = http.createServer((req, res) =>
      (req.url === '/quiet' ? quietAuth : auth)(req, res, (err) =>
        err ? res.writeHead(500).end() : res.writeHead(200).end('ok'),
      ),
    );
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    const target = { url: `http://127.0.0.1:${server.address().port}/`, validator, platform: 'WEB', userType: 'USER' };
    const quiet = { ...target, url: `${target.url}quiet` };
    // Codes the server has seen: one of the previous token, one of the current.
    const previousCode = bcrypt.hashSync(tokens.previous.WEB.USER, common.COST);
    const currentCode = await validator.generateAuthCodeAsync('WEB', 'USER', host);
    for (const c of [previousCode, currentCode]) {
      if ((await validator.validateRequestAsync(c, 'WEB', 'USER', host)) !== true)
        throw new Error('a code was refused');
    }
    // About seconds / 2 of hashing each on an idle machine: cost 10 is some 50 ms a hash.
    const wrongCodes = Math.max(20, Math.round((seconds / 2) * threads * 20));
    // Half as many for a rotated combination, where each costs two hashes.
    const rotatedCodes = Math.ceil(wrongCodes / 2);
    const wrong = (amount) => ({ connections, amount, wrongCost: 10 });
    const resent = (code) => ({ connections, duration: seconds / 2, code });
    // The cache-hit path of each kind compiled before anything is measured.
    for (const [code, on] of [
      [previousCode, target],
      [previousCode, quiet],
      [currentCode, target],
    ]) {
      await measure('warm-up', 'warm-up', [{ connections, duration: 1, code }], on, false);
    }
    const runs = [];
    for (let pair = 0; pair < pairs; pair++) {
      const record = pair === 0;
      const [without] = await measure(
        'wrong code, no previous table',
        `authMiddleware, ${wrongCodes} fresh wrong codes (cost 10)`,
        [wrong(wrongCodes)],
        undefined,
        record,
      );
      const [withPrevious] = await measure(
        'wrong code, rotated combination',
        `authMiddleware with a previous table, ${rotatedCodes} fresh wrong codes (cost 10), rotated combination`,
        [wrong(rotatedCodes)],
        target,
        record,
      );
      // Every other pair the other way round, so that neither side always runs first.
      const resentRows = [
        ['previous', 'previous token, one code', 'one valid code of the previous token re-sent', previousCode, target],
        [
          'previousQuiet',
          'previous token, one code, no headers',
          'the same, deprecationHeaders: false',
          previousCode,
          quiet,
        ],
        ['current', 'current token, one code', 'one valid code of the current token re-sent', currentCode, target],
      ];
      if (pair % 2 === 1) resentRows.reverse();
      const resentRuns = {};
      for (const [key, label, what, code, on] of resentRows) {
        [resentRuns[key]] = await measure(
          label,
          `authMiddleware with a previous table, ${what}`,
          [resent(code)],
          on,
          record,
        );
      }
      const { previous, previousQuiet, current } = resentRuns;
      runs.push({ without, withPrevious, previous, previousQuiet, current });
    }
    server.close();
    await validator.close();
    const median = (values) => common.summary(values).median;
    const over = (f) => median(runs.map(f));
    const rate = (row) => row.requestsPerSecond.overall;
    const poolMsPerCheck = (row) => (row.poolThreadsCores * row.wallS * 1000) / row.checks;
    return {
      pairs,
      wrongPoolMsPerCheck: {
        withoutPrevious: over((r) => poolMsPerCheck(r.without)),
        rotated: over((r) => poolMsPerCheck(r.withPrevious)),
      },
      // A wrong code with a previous table, in wrong codes without one (one hash): the median of the pairs.
      wrongCostRatio: over((r) => poolMsPerCheck(r.withPrevious) / poolMsPerCheck(r.without)),
      wrongCostRatios: runs.map((r) => poolMsPerCheck(r.withPrevious) / poolMsPerCheck(r.without)),
      wrongPerSecond: { withoutPrevious: over((r) => rate(r.without)), rotated: over((r) => rate(r.withPrevious)) },
      resentMainUsPerRequest: {
        previous: over((r) => mainThreadUsPerRequest(r.previous)),
        previousWithoutHeaders: over((r) => mainThreadUsPerRequest(r.previousQuiet)),
        current: over((r) => mainThreadUsPerRequest(r.current)),
      },
      // A previous token's code re-sent, in current ones: both answered from the cache. The check
      // alone (without the two headers the response gets), and with them.
      resentCostRatio: over((r) => mainThreadUsPerRequest(r.previousQuiet) / mainThreadUsPerRequest(r.current)),
      resentCostRatios: runs.map((r) => mainThreadUsPerRequest(r.previousQuiet) / mainThreadUsPerRequest(r.current)),
      resentWithHeadersCostRatio: over((r) => mainThreadUsPerRequest(r.previous) / mainThreadUsPerRequest(r.current)),
      resentPerSecond: {
        previous: over((r) => rate(r.previous)),
        previousWithoutHeaders: over((r) => rate(r.previousQuiet)),
        current: over((r) => rate(r.current)),
      },
      resentRatio: over((r) => rate(r.previousQuiet) / rate(r.current)),
    };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
