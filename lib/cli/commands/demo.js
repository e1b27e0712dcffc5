'use strict';

// `header-validator demo`: the whole round trip on this build's table, on the
// loopback interface only. Prints one line per request; never an auth code.

const { EXIT } = require('../exit-status');
const { AUTH_CODE_ALPHABET: BCRYPT_ALPHABET } = require('../../auth-code-rules');

// One character of the hash part replaced by another: still well-formed, no longer valid.
function tamper(code) {
  const at = 40;
  const replacement = BCRYPT_ALPHABET[(BCRYPT_ALPHABET.indexOf(code[at]) + 1) % BCRYPT_ALPHABET.length];
  return code.slice(0, at) + replacement + code.slice(at + 1);
}

function pickCombination(combinations) {
  return (
    combinations.find((c) => c.host === 'example.com' && c.platform === 'ANDROID' && c.userType === 'STORE') ??
    combinations[0]
  );
}

async function demo(io) {
  // Loaded by the command, not with the command line, which every command starts.
  const http = require('node:http');
  const { once } = require('node:events');
  const { createValidator, authMiddleware, tableInfo } = require('../../index');
  const info = tableInfo();
  const { host, platform, userType } = pickCombination(info.combinations);
  const validator = createValidator();
  const auth = authMiddleware({ host, validator });
  const server = http.createServer((req, res) =>
    auth(req, res, (err) => {
      res.writeHead(err ? 500 : 200, { 'content-type': 'application/json' });
      res.end(JSON.stringify(err ? { error: 'server error' } : { hello: req.auth }));
    }),
  );
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  const url = `http://127.0.0.1:${server.address().port}/`;
  io.stdout.write(
    `demo server on ${url} for host ${host}, ${info.demo ? 'demo table' : 'custom table'} ` +
      `sha256:${info.sha256.slice(0, 16)}...\n`,
  );

  let unexpected = 0;
  try {
    const code = await validator.generateAuthCodeAsync(platform, userType, host);
    const requests = [
      {
        what: `a fresh code for ${platform}/${userType}`,
        headers: { 'x-auth-code': code, 'x-platform': platform, 'x-user-type': userType },
        expected: 200,
      },
      {
        what: 'the same code with one character changed',
        headers: { 'x-auth-code': tamper(code), 'x-platform': platform, 'x-user-type': userType },
        expected: 401,
      },
      {
        what: 'the fresh code as WEB/KIOSK, a combination that does not exist',
        headers: { 'x-auth-code': code, 'x-platform': 'WEB', 'x-user-type': 'KIOSK' },
        expected: 401,
      },
    ];
    for (const { what, headers, expected } of requests) {
      const response = await fetch(url, { headers });
      await response.arrayBuffer();
      const ok = response.status === expected;
      if (!ok) unexpected += 1;
      io.stdout.write(
        `${ok ? 'ok        ' : 'UNEXPECTED'} GET / with ${what} -> ${response.status} (expected ${expected})\n`,
      );
    }
  } finally {
    server.closeAllConnections();
    server.close();
    await validator.close();
  }
  return unexpected === 0 ? EXIT.OK : EXIT.NO;
}

module.exports = {
  usage: 'demo',
  about:
    'Starts a server with the middleware on a free loopback port, sends it a valid, a tampered and ' +
    'an\nunknown-combination request, prints what came back, and stops.',
  exits: '0 every request was answered as expected, 1 one was not',
  positionals: 0,
  run: (_positionals, _values, io) => demo(io),
};
