'use strict';
// A build with a previous table, at run time: codes of a rotated combination's
// previous token validate on the pool until the end of the overlap (a clock
// the test moves), the answer says which token matched, early retirement, and
// what the middleware, the command line and rotation() make of it. The
// package under test is the JavaScript layer beside the rotation test modules.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const diagnosticsChannel = require('node:diagnostics_channel');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const bcrypt = require('bcryptjs');
const Fastify = require('fastify');
const { rotationPackage } = require('../support/rotation-package');
const { runNode } = require('../support/child');
const { tamper } = require('../support/codes');

const until = new Date(Date.now() + 30 * 86_400_000).toISOString();
const { dir, host, tokens, manifest } = rotationPackage(until);
const lib = (file) => require(path.join(dir, 'lib', file));
const pkg = lib('index.js');
const { createValidator } = lib('validator.js');

const codes = {
  previous: bcrypt.hashSync(tokens.previous.WEB.USER, 4),
  current: bcrypt.hashSync(tokens.current.WEB.USER, 4),
  removed: bcrypt.hashSync(tokens.previous.ANDROID.USER, 4),
  unchanged: bcrypt.hashSync(tokens.current.IOS.USER, 4),
};
const WEB = ['WEB', 'USER', host];
const END = Date.parse(until);

// The clock that the end of the overlap is checked against, moved by the tests.
const clockAt = (ms) => ({
  ms,
  now() {
    return this.ms;
  },
});
const made = [];
function validatorWith(options, clock) {
  const validator = createValidator({ threads: 1, ...options }, { clock });
  made.push(validator);
  return validator;
}
after(async () => {
  await Promise.all([...made.map((v) => v.close()), pkg.close()]);
  fs.rmSync(dir, { recursive: true, force: true });
});

describe('the overlap', () => {
  it("validates a rotated combination's previous token on the pool until the end, never after", async () => {
    const warnings = [];
    const onWarning = (warning) => warnings.push(warning.code);
    process.on('warning', onWarning);
    const clock = clockAt(Date.now());
    const validator = validatorWith({ cache: false }, clock);
    const check = (code, names = WEB) => validator.validateRequestAsync(code, ...names);
    assert.deepEqual(
      await Promise.all([
        check(codes.previous),
        check(codes.current),
        check(tamper(codes.previous)),
        check(codes.removed, ['ANDROID', 'USER', host]),
        check(codes.unchanged, ['IOS', 'USER', host]),
      ]),
      [true, true, false, false, true],
    );
    // The synchronous functions are the current table's alone.
    assert.equal(pkg.validateRequest(codes.previous, ...WEB), false);
    assert.equal(validator.validateRequest(codes.previous, ...WEB), false);
    assert.deepEqual(validator.stats().counters.validByToken, { current: 2, previous: 1 });
    assert.deepEqual(validator.rotation(), {
      until,
      accepted: true,
      retired: false,
      combinations: [{ host, platform: 'WEB', userType: 'USER', lastValidAt: new Date(clock.ms).toISOString() }],
    });

    clock.ms = END;
    assert.deepEqual(await Promise.all([check(codes.previous), check(codes.current)]), [false, true]);
    assert.equal(validator.rotation().accepted, false);
    // Told once per process, however many validators see the end.
    const later = validatorWith({ cache: false }, clock);
    assert.equal(await later.validateRequestAsync(codes.previous, ...WEB), false);
    process.off('warning', onWarning);
    assert.deepEqual(warnings, ['HEADER_VALIDATOR_PREVIOUS_ENDED']);
  });

  it('serves a cached previous-token match only until the end, and refuses a check answered after it', async () => {
    const clock = clockAt(Date.now());
    const validator = validatorWith({}, clock);
    const events = [];
    const listen = (message) => events.push([message.cache, message.token]);
    diagnosticsChannel.subscribe('header-validator:check', listen);
    try {
      assert.equal(await validator.validateRequestAsync(codes.previous, ...WEB), true);
      assert.equal(await validator.validateRequestAsync(codes.previous, ...WEB), true);
      // Sent to the pool before the end, answered after it.
      const late = validator.validateRequestAsync(bcrypt.hashSync(tokens.previous.WEB.USER, 4), ...WEB);
      clock.ms = END + 1;
      assert.equal(await late, false);
      assert.equal(await validator.validateRequestAsync(codes.previous, ...WEB), false);
    } finally {
      diagnosticsChannel.unsubscribe('header-validator:check', listen);
    }
    assert.deepEqual(events, [
      ['miss', 'previous'],
      ['hit', 'previous'],
      ['miss', null],
      ['miss', null],
    ]);
    assert.equal(validator.stats().gauges.cachedValid, 0);
  });
});

describe('early retirement', () => {
  const cli = (args, env = {}, input = undefined) =>
    runNode([path.join(dir, 'bin', 'header-validator.js'), ...args], { cwd: dir, env, input });

  it('previous: false refuses codes of previous tokens at once', async () => {
    const retired = validatorWith({ previous: false });
    assert.deepEqual(
      await Promise.all([codes.previous, codes.current].map((code) => retired.validateRequestAsync(code, ...WEB))),
      [false, true],
    );
    assert.deepEqual(retired.rotation(), {
      until,
      accepted: false,
      retired: true,
      combinations: [{ host, platform: 'WEB', userType: 'USER', lastValidAt: null }],
    });
    assert.throws(() => createValidator({ previous: 'off' }), /^TypeError: createValidator: previous must be/);
  });

  it('HEADER_VALIDATOR_PREVIOUS=off retires them for the command line and the default validator', async () => {
    const [on, off, misspelt, status, retiredStatus] = await Promise.all([
      cli(['validate', '-', ...WEB], {}, codes.previous),
      cli(['validate', '-', ...WEB], { HEADER_VALIDATOR_PREVIOUS: 'off' }, codes.previous),
      cli(['validate', '-', ...WEB], { HEADER_VALIDATOR_PREVIOUS: 'Off' }, codes.previous),
      cli(['rotation']),
      cli(['rotation', '--json'], { HEADER_VALIDATOR_PREVIOUS: 'off' }),
    ]);
    assert.deepEqual([on.status, on.stdout], [0, 'valid\n']);
    assert.match(on.stderr, new RegExp(`matched the previous token of this combination, valid until ${until}`));
    assert.deepEqual([off.status, off.stdout], [1, 'invalid\n']);
    assert.equal(misspelt.status, 3);
    assert.match(
      misspelt.stderr,
      /^header-validator validate: HEADER_VALIDATOR_PREVIOUS='Off' is not a value it takes/,
    );
    assert.equal(status.status, 0);
    assert.match(status.stdout, /^codes of previous tokens valid now: yes$/m);
    assert.match(status.stdout, /in this process only/);
    assert.match(status.stdout, /^rotation\.example WEB USER: never$/m);
    assert.deepEqual(JSON.parse(retiredStatus.stdout), {
      until,
      accepted: false,
      retired: true,
      combinations: [{ host, platform: 'WEB', userType: 'USER', lastValidAt: null }],
    });
  });
});

describe('the middleware, hook and plugin', () => {
  const headers = (code) => ({ 'x-auth-code': code, 'x-platform': 'WEB', 'x-user-type': 'USER' });
  const deprecation = `@${Math.floor(Date.parse(manifest.previous.since) / 1000)}`;
  // An HTTP-date (RFC 9110's IMF-fixdate) of the end of the overlap.
  const isSunset = (value) =>
    /^[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT$/.test(value) &&
    Date.parse(value) === Math.floor(END / 1000) * 1000;

  it('tell which token matched, and answer a previous one with Deprecation and Sunset unless told not to', async () => {
    const loud = pkg.authMiddleware({ host });
    const quiet = pkg.authMiddleware({ host, deprecationHeaders: false, requestProperty: 'caller' });
    const server = http.createServer((req, res) =>
      (req.url === '/quiet' ? quiet : loud)(req, res, () => res.end(JSON.stringify(req.auth ?? req.caller))),
    );
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    const url = `http://127.0.0.1:${server.address().port}`;
    try {
      const get = async (route, code) => {
        const response = await fetch(url + route, { headers: headers(code) });
        const sent = ['deprecation', 'sunset'].map((name) => response.headers.get(name));
        return { status: response.status, auth: await response.json(), sent };
      };
      const old = await get('/', codes.previous);
      assert.deepEqual([old.status, old.auth], [200, { platform: 'WEB', userType: 'USER', host, token: 'previous' }]);
      assert.equal(old.sent[0], deprecation);
      assert.ok(isSunset(old.sent[1]), old.sent[1]);
      const current = await get('/', codes.current);
      assert.deepEqual([current.auth.token, current.sent], ['current', [null, null]]);
      const silent = await get('/quiet', codes.previous);
      assert.deepEqual([silent.auth.token, silent.sent], ['previous', [null, null]]);
    } finally {
      server.closeAllConnections();
      server.close();
    }
    // The middleware's default validator is the module's: rotation() saw the old client.
    assert.ok(Date.now() - Date.parse(pkg.rotation().combinations[0].lastValidAt) < 60_000);

    const fastify = Fastify();
    await fastify.register(lib('fastify-plugin.js').fastifyHeaderValidator, { host, requestProperty: 'caller' });
    fastify.get('/', async (request) => request.caller);
    const reply = await fastify.inject({ url: '/', headers: headers(codes.previous) });
    assert.equal(reply.json().token, 'previous');
    assert.equal(reply.headers.deprecation, deprecation);
    assert.ok(isSunset(reply.headers.sunset), reply.headers.sunset);
    await fastify.close();
  });
});
