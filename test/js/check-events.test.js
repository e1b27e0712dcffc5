'use strict';

// What a validator tells operators about its checks: one message per check on
// the diagnostics channel 'header-validator:check' (never holding the code),
// counters by outcome and reason apart from gauges, and no free-text lines on
// standard error when it is made with nativeDiagnostics: false.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const diagnosticsChannel = require('node:diagnostics_channel');
const http = require('node:http');
const { once } = require('node:events');
const { authMiddleware, createValidator } = require('../../lib');
const { demoCode, tamper, withCost } = require('../support/codes.js');
const { rawRequest } = require('../support/servers.js');
const { runScript, describeExit } = require('../support/child.js');

const HOST = 'example.com';
const code = demoCode('ANDROID', 'STORE', HOST);
const headersFor = (authCode) => ({ 'x-auth-code': authCode, 'x-platform': 'ANDROID', 'x-user-type': 'STORE' });

// The messages published while fn runs.
async function messagesDuring(fn) {
  const seen = [];
  const listener = (message) => seen.push(message);
  diagnosticsChannel.subscribe('header-validator:check', listener);
  try {
    await fn();
  } finally {
    diagnosticsChannel.unsubscribe('header-validator:check', listener);
  }
  return seen;
}

const brief = ({ host, platform, userType, outcome, reason, cache, token }) => ({
  host,
  platform,
  userType,
  outcome,
  reason,
  cache,
  token,
});

describe('check events', () => {
  const validator = createValidator({ threads: 1, nativeDiagnostics: false });
  const auth = authMiddleware({ host: HOST, validator });
  const server = http.createServer((req, res) => auth(req, res, () => res.end('ok')));
  after(() => {
    server.closeAllConnections();
    server.close();
    return validator.close();
  });

  it('one message per check, from the middleware and validateRequestAsync alike, none holding the code', async () => {
    server.listen(0, '127.0.0.1');
    await once(server, 'listening');
    const url = `http://127.0.0.1:${server.address().port}`;
    const hostile = 'A'.repeat(1_000_000);
    const messages = await messagesDuring(async () => {
      for (const headers of [
        headersFor(code),
        headersFor(code),
        headersFor(tamper(code)),
        headersFor(withCost(code, 13)),
        { 'x-auth-code': code, 'x-user-type': 'STORE' },
      ]) {
        await rawRequest(url, { headers });
      }
      assert.equal(await validator.validateRequestAsync(code, hostile, 'STORE', HOST), false);
    });
    const base = { host: HOST, platform: 'ANDROID', userType: 'STORE' };
    const refused = (reason, cache) => ({ ...base, outcome: 'invalid', reason, cache, token: null });
    assert.deepEqual(messages.map(brief), [
      { ...base, outcome: 'valid', reason: null, cache: 'miss', token: 'current' },
      { ...base, outcome: 'valid', reason: null, cache: 'hit', token: 'current' },
      refused('mismatch', 'miss'),
      refused('malformed-code', 'none'),
      { ...refused('missing-header', 'none'), platform: null },
      { ...refused('unknown-combination', 'none'), platform: `${'A'.repeat(256)}\u2026` },
    ]);
    for (const message of messages) assert.ok(message.durationMs >= 0 && Number.isFinite(message.durationMs));
    const text = JSON.stringify(messages);
    for (const sent of [code, tamper(code), withCost(code, 13)]) {
      assert.ok(!text.includes(sent.slice(7, 29)) && !text.includes(sent.slice(29)), 'a message holds a code');
    }
  });

  it('stats() keeps counters by outcome and reason apart from gauges, refusals of the middleware included', () => {
    const stats = validator.stats();
    assert.deepEqual(Object.keys(stats), ['counters', 'gauges']);
    assert.deepEqual(stats.counters, {
      valid: 2,
      validByToken: { current: 2, previous: 0 },
      invalid: {
        'missing-header': 1,
        'repeated-header': 0,
        'unknown-combination': 1,
        'malformed-code': 1,
        mismatch: 1,
      },
      shed: { overloaded: 0, closed: 0 },
      error: { worker: 0, 'hash-failed': 0, host: 0, internal: 0 },
      cacheHits: 1,
      coalesced: 0,
      bcryptChecks: 2,
    });
    assert.deepEqual(stats.gauges, { inFlight: 0, queued: 0, cachedValid: 1, cachedInvalid: 1 });
  });
});

describe('nativeDiagnostics', () => {
  it('false: refusals of unknown names write nothing to standard error; by default they do', () => {
    const script = (options) => `
      const lib = require('./lib');
      const v = lib.createValidator(${options});
      const auth = lib.authMiddleware({ host: 'example.com', validator: v });
      const code = support.demoCode('ANDROID', 'STORE', 'example.com');
      const headers = { 'x-auth-code': code, 'x-platform': 'IOS', 'x-user-type': 'KIOSK' };
      (async () => {
        const answers = [
          await v.validateRequestAsync(code, 'ANDROID', 'STORE', 'example.org'),
          await v.validateRequestAsync('not-a-code', 'ANDROID', 'PILOT', 'example.com'),
          await v.generateAuthCodeAsync('WEB', 'KIOSK', 'example.com'),
          await new Promise((resolve) => {
            let status;
            auth({ headers }, { writeHead: (s) => (status = s), end: () => resolve(status) }, resolve);
          }),
        ];
        await v.close();
        report(answers);
      })();`;
    const quiet = runScript(script('{ threads: 1, nativeDiagnostics: false }'));
    assert.equal(quiet.status, 0, describeExit(quiet));
    assert.deepEqual(quiet.report, [false, false, null, 401]);
    assert.equal(quiet.stderr, '');
    const told = runScript(script('{ threads: 1 }'));
    assert.deepEqual(told.report, [false, false, null, 401], describeExit(told));
    assert.equal(told.stderr.trimEnd().split('\n').length, 4, told.stderr);
  });
});
