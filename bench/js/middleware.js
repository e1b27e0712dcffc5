'use strict';

// The middleware under load: a node:http server on 127.0.0.1 with
// authMiddleware in front of its routes, driven by autocannon in a separate
// process for a fixed time. Requests per second, latency percentiles, status
// counts, and the server's event-loop delay meanwhile. While the pool is
// saturated, a second autocannon at a fixed low rate hits /health (skipped by
// the middleware): its latency shows whether the server still answers.

const http = require('node:http');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { monitorEventLoopDelay } = require('node:perf_hooks');
const common = require('./common');

const { COMBO } = common;
const AUTOCANNON = path.join(path.dirname(require.resolve('autocannon/package.json')), 'autocannon.js');
const HEALTH_RATE = 20;

// Runs autocannon to the end and returns its JSON report.
function autocannon(args) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [AUTOCANNON, '--json', '--no-progress', ...args], {
      stdio: ['ignore', 'pipe', 'ignore'],
    });
    let out = '';
    child.stdout.setEncoding('utf8').on('data', (chunk) => (out += chunk));
    child.on('error', reject);
    child.on('close', (status) => {
      if (status !== 0) return reject(new Error(`autocannon exited with ${status}`));
      try {
        resolve(JSON.parse(out));
      } catch (err) {
        reject(new Error(`autocannon printed no JSON report: ${err.message}`));
      }
    });
  });
}

function headerArgs({ code, platform, userType }) {
  return ['-H', `x-auth-code=${code}`, '-H', `x-platform=${platform}`, '-H', `x-user-type=${userType}`];
}

function summarise(report) {
  const { requests, latency } = report;
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
    status2xx: report['2xx'],
    statusNon2xx: report.non2xx,
    statusCodes: report.statusCodeStats ?? null,
    errors: report.errors,
    timeouts: report.timeouts,
    durationS: report.duration,
  };
}

async function main() {
  const opts = common.options();
  const pkg = common.loadPackage();
  if (!pkg) throw new Error('the package layer (lib/index.js with validateRequestAsync) is not there');
  const native = require(common.MODULE_PATH);
  const { platform, userType, host } = COMBO;
  const code = native.generateAuthCode(platform, userType, host);

  const validator = pkg.createValidator();
  const auth = pkg.authMiddleware({ host, validator, skip: (req) => req.url === '/health' });
  const server = http.createServer((req, res) => {
    auth(req, res, (err) => {
      if (err) {
        res.writeHead(500).end();
        return;
      }
      res.writeHead(200, { 'content-type': 'text/plain' }).end('ok');
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const url = `http://127.0.0.1:${server.address().port}`;

  // Calls queue in order, so once these are done so is all work queued before
  // them: the pool is started (module loaded in every thread) or drained of a
  // finished scenario's leftovers, which would otherwise slow the next one.
  const threads = require('node:os').availableParallelism();
  const settle = () =>
    Promise.all(Array.from({ length: threads }, () => validator.validateRequestAsync(code, platform, userType, host)));
  await settle();

  const seconds = opts.quick ? 3 : 10;
  const scenarios = [
    !opts.quick && { name: 'valid code, 2 connections', connections: 2, headers: { code, platform, userType } },
    { name: 'valid code, 16 connections', connections: 16, headers: { code, platform, userType }, withHealth: true },
    { name: 'malformed code, 16 connections', connections: 16, headers: { code: 'not-a-code', platform, userType } },
  ].filter(Boolean);
  const results = [];
  for (const scenario of scenarios) {
    await settle();
    const histogram = monitorEventLoopDelay({ resolution: 1 });
    histogram.enable();
    const main = autocannon([
      '-c',
      String(scenario.connections),
      '-d',
      String(seconds),
      ...headerArgs(scenario.headers),
      `${url}/`,
    ]);
    const health = scenario.withHealth
      ? autocannon(['-c', '1', '-R', String(HEALTH_RATE), '-d', String(seconds), `${url}/health`])
      : null;
    const [mainReport, healthReport] = await Promise.all([main, health]);
    histogram.disable();
    results.push({
      name: scenario.name,
      connections: scenario.connections,
      ...summarise(mainReport),
      eventLoopDelayMs: {
        p50: histogram.percentile(50) / 1e6,
        p99: histogram.percentile(99) / 1e6,
        max: histogram.max / 1e6,
      },
      health: healthReport ? { rate: HEALTH_RATE, ...summarise(healthReport) } : undefined,
    });
  }
  server.close();
  await validator.close();
  common.report(opts, { threads, seconds, results });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
