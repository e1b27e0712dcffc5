'use strict';

// One load generator of the request-path phase, in a process of its own so
// that its CPU is not counted as the server's: autocannon against the server
// with the three auth headers, and the code either fixed, one of its own per
// connection, taken from a list one request at a time, or made up fresh (well
// formed, matching nothing) for every request. Prints autocannon's result as
// one JSON document.
//
// usage: node load-client.js '{"url": ..., "connections": n, "duration": s | "amount": n,
//   "platform": ..., "userType": ..., "code": ... | "perConnection": [...] | "codes": [...] | "wrongCost": 12}'

const autocannon = require('autocannon');
const { wrongCode } = require('./common');

const config = JSON.parse(process.argv[2]);

function run(options) {
  return new Promise((resolve, reject) => {
    autocannon(options, (err, result) => (err ? reject(err) : resolve(result)));
  });
}

function headers(code) {
  return { 'x-auth-code': code, 'x-platform': config.platform, 'x-user-type': config.userType };
}

async function main() {
  const base = { url: config.url, connections: config.connections };
  if (config.duration !== undefined) base.duration = config.duration;
  if (config.amount !== undefined) base.amount = config.amount;
  let result;
  if (config.perConnection) {
    // One instance per code, so that each connection keeps re-sending its own.
    const results = await Promise.all(
      config.perConnection.map((code) =>
        run({ ...base, connections: 1, headers: headers(code), skipAggregateResult: true }),
      ),
    );
    result = autocannon.aggregateResult(results, { ...base, connections: config.perConnection.length });
  } else if (config.code !== undefined) {
    result = await run({ ...base, headers: headers(config.code) });
  } else {
    let next = 0;
    const code = config.codes ? () => config.codes[next++ % config.codes.length] : () => wrongCode(config.wrongCost);
    const setupRequest = (request) => ({ ...request, headers: { ...request.headers, ...headers(code()) } });
    result = await run({ ...base, requests: [{ method: 'GET', path: '/', setupRequest }] });
  }
  process.stdout.write(`${JSON.stringify(result)}\n`);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
