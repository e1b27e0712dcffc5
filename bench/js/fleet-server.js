'use strict';

// One server of the fleet phase (fleet.js), in a process of its own: node:http
// behind authMiddleware, its validator with one pool thread and, when given a
// Redis socket, the shared level. It records every check's duration by where
// the answer came from (the check events), and answers the parent's messages:
// 'stats' (the validator's counters and the durations since the last
// 'stats'), and 'close'.
//
// usage (forked): node fleet-server.js '{"socket": <redis socket path> | null}'

const diagnosticsChannel = require('node:diagnostics_channel');
const http = require('node:http');
const common = require('./common');

const config = JSON.parse(process.argv[2]);

async function main() {
  const pkg = common.loadPackage();
  let client;
  if (config.socket) {
    const { createClient } = require('redis');
    // Fail commands at once while disconnected; reconnect every 100 ms.
    client = createClient({ socket: { path: config.socket, reconnectStrategy: () => 100 }, disableOfflineQueue: true });
    client.on('error', () => {});
    await client.connect();
  }
  const validator = pkg.createValidator({ threads: 1, ...(client && { redis: { client } }) });
  const auth = pkg.authMiddleware({ host: common.COMBO.host, validator });

  let durations = {};
  diagnosticsChannel.subscribe('header-validator:check', ({ cache, durationMs }) => {
    (durations[cache] ??= []).push(durationMs);
  });

  const server = http.createServer((req, res) =>
    auth(req, res, (err) => (err ? res.writeHead(500).end() : res.writeHead(200).end('ok'))),
  );
  server.keepAliveTimeout = 60_000;
  server.listen(0, '127.0.0.1', () => process.send({ port: server.address().port }));

  process.on('message', async (message) => {
    if (message === 'stats') {
      process.send({ counters: validator.stats().counters, durations });
      durations = {};
    } else if (message === 'close') {
      server.closeAllConnections();
      server.close();
      await validator.close();
      client?.destroy();
      process.disconnect();
    }
  });
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
