'use strict';

// The package entry: the native functions as they are, the Promise versions on
// real worker threads, the pool's bounds and shutdown, and the table info.
// Loading the module, and its refusal of the demo table in production, are
// tested in loader.test.js.

const { before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const api = require('../../lib');
const { MODULE_PATH } = require('../../lib/native');
const { messages } = require('../../lib/native-messages');
const { demoCode, withCost, tamper } = require('../support/codes.js');
const { closedAfterTests } = require('../support/validators.js');
const { combinations } = require('../support/module.js');
const { runNode, runScript, stderrLines, describeExit } = require('../support/child.js');
const { ROOT } = require('../support/module.js');

const STORE = ['ANDROID', 'STORE', 'example.com'];
const storeCode = demoCode(...STORE);

// Cost-12 codes: checking one keeps a worker busy long enough to fill a pool.
// Checks of one code in flight at once share a hash, so filling a pool takes
// different codes.
let slowCode;
let otherSlowCode;
before(() => {
  slowCode = api.generateAuthCode(...STORE);
  otherSlowCode = api.generateAuthCode(...STORE);
});

const validator = closedAfterTests(api.createValidator);

const settledFirst = (...promises) =>
  Promise.race(
    promises.map((p, i) =>
      p.then(
        () => i,
        () => i,
      ),
    ),
  );

describe('synchronous functions', () => {
  it('are the native module exports themselves', () => {
    const native = require(MODULE_PATH);
    assert.equal(api.validateRequest, native.validateRequest);
    assert.equal(api.generateAuthCode, native.generateAuthCode);
    assert.equal(api.createValidator().validateRequest, native.validateRequest);
  });

  it('the ESM entry exports the same functions as the CommonJS one', async () => {
    const esm = await import('header-validator');
    for (const name of Object.keys(api)) assert.equal(esm[name], api[name], name);
    assert.equal(esm.default, api);
  });
});

describe('validateRequestAsync and generateAuthCodeAsync', () => {
  it('give the same answers as the native functions', async () => {
    assert.equal(await api.validateRequestAsync(storeCode, ...STORE), true);
    assert.equal(await api.validateRequestAsync(storeCode, 'ANDROID', 'STORE', 'www.example.com'), false);
    assert.equal(await api.validateRequestAsync(tamper(storeCode), ...STORE), false);
    assert.equal(await api.validateRequestAsync(withCost(storeCode, 31), ...STORE), false);
    assert.equal(await api.generateAuthCodeAsync('WEB', 'KIOSK', 'example.com'), null);
  });

  it('make a fresh cost-12 code that the module accepts', async () => {
    const code = await api.generateAuthCodeAsync('IOS', 'PROVIDER', 'beta.example.com');
    assert.match(code, /^\$2a\$12\$[./A-Za-z0-9]{53}$/);
    assert.notEqual(code, slowCode);
    assert.equal(api.validateRequest(code, 'IOS', 'PROVIDER', 'beta.example.com'), true);
    assert.equal(api.validateRequest(code, 'IOS', 'USER', 'beta.example.com'), false);
  });

  it('answer many checks of different combinations each with its own result', async () => {
    const picked = combinations.filter((_, i) => i % 3 === 0);
    const codes = picked.map((c) => demoCode(c.platform, c.userType, c.host));
    const v = validator({ threads: 2, maxQueue: 2 * picked.length });
    // Each code against its own combination and against its neighbour's.
    const results = await Promise.all(
      picked.flatMap((c, i) => {
        const other = picked[(i + 1) % picked.length];
        return [
          v.validateRequestAsync(codes[i], c.platform, c.userType, c.host),
          v.validateRequestAsync(codes[i], other.platform, other.userType, other.host),
        ];
      }),
    );
    assert.deepEqual(
      results,
      picked.flatMap(() => [true, false]),
    );
  });

  it('answer calls that cannot hash on the calling thread, even with the pool full, writing the same line', () => {
    const child = runScript(
      `
      const { createValidator, validateRequest } = require('./lib');
      const STORE = ['ANDROID', 'STORE', 'example.com'];
      const longHost = 'h'.repeat(1024 * 1024);
      const v = createValidator({ threads: 1, maxQueue: 0 });
      const settle = (p) => p.catch((err) => err.code);
      Promise.all([
        v.validateRequestAsync(process.env.SLOW, ...STORE),
        settle(v.validateRequestAsync('$'.repeat(10 * 1024 * 1024), ...STORE)),
        settle(v.validateRequestAsync(process.env.SLOW, 'ANDROID', 'STORE', longHost)),
        settle(v.generateAuthCodeAsync('ANDROID', 'STORE', longHost)),
        // A code that could be hashed still goes to the (full) pool.
        settle(v.validateRequestAsync(process.env.OTHER, ...STORE)),
      ]).then((results) => {
        validateRequest(process.env.SLOW, 'ANDROID', 'STORE', longHost);
        report(results);
      });`,
      { env: { SLOW: slowCode, OTHER: otherSlowCode } },
    );
    assert.deepEqual(child.report, [true, false, false, null, 'ERR_HEADER_VALIDATOR_OVERLOADED'], describeExit(child));
    const lines = stderrLines(child.stderr);
    assert.match(lines[2], /^Host 'h{256}\.\.\.\(\+\d+ bytes\)' not found in verificationTokenData$/);
    assert.deepEqual(lines, [lines[2], lines[2], lines[2]], 'the async calls wrote what the synchronous one wrote');
  });

  it('reject with ERR_HEADER_VALIDATOR_WORKER when a thread dies mid-call; a native error stays itself', () => {
    // The pool's threads are captured as piscina makes them; in them, the
    // native generateAuthCode throws.
    const child = runScript(
      `
      const http = require('node:http');
      const wt = require('node:worker_threads');
      const threads = new Set();
      wt.Worker = class extends wt.Worker {
        constructor(filename, options = {}) {
          const execArgv = [...(options.execArgv ?? process.execArgv), '--require', process.env.PRELOAD];
          super(filename, { ...options, execArgv });
          threads.add(this);
          this.on('exit', () => threads.delete(this));
        }
      };
      const killThreads = () => setImmediate(() => threads.forEach((t) => t.terminate()));
      const { authMiddleware, createValidator } = require('./lib');
      const STORE = ['ANDROID', 'STORE', 'example.com'];
      const describe = (err) => ({ error: err instanceof Error, message: err.message, code: err.code ?? null,
        cause: err.cause?.message ?? null });
      (async () => {
        const v = createValidator({ threads: 1 });
        const nativeError = await v.generateAuthCodeAsync(...STORE).catch(describe);
        const dying = v.validateRequestAsync(process.env.SLOW, ...STORE);
        killThreads();
        const died = await dying.catch(describe);
        // A fresh thread is ready again before the request comes.
        await v.validateRequestAsync(process.env.CODE, ...STORE);
        const auth = authMiddleware({ host: 'example.com', validator: v });
        const server = http.createServer((req, res) => {
          auth(req, res, () => res.end('route'));
          killThreads();
        });
        server.listen(0, '127.0.0.1');
        await require('node:events').once(server, 'listening');
        const headers = { 'x-auth-code': process.env.SLOW, 'x-platform': 'ANDROID', 'x-user-type': 'STORE' };
        const response = await fetch('http://127.0.0.1:' + server.address().port + '/', { headers });
        const answer = [response.status, response.headers.get('retry-after'), await response.text()];
        server.close();
        report({ nativeError, died, answer });
      })();`,
      { env: { SLOW: slowCode, CODE: storeCode, PRELOAD: path.join(ROOT, 'test', 'support', 'throwing-generate.js') } },
    );
    assert.equal(child.status, 0, describeExit(child));
    const { nativeError, died, answer } = child.report;
    assert.deepEqual(nativeError, { error: true, message: 'Failed to generate bcrypt salt', code: null, cause: null });
    assert.equal(died.error, true);
    assert.equal(died.code, 'ERR_HEADER_VALIDATOR_WORKER');
    assert.match(died.cause, /worker exited/);
    assert.deepEqual(answer, [503, '1', '{"error":"overloaded"}']);
  });

  describe('argument errors', () => {
    const badValidate = [
      [],
      [storeCode, 'ANDROID', 'STORE'],
      [storeCode, ...STORE, 'extra'],
      [storeCode, 'ANDROID', 'STORE', 7],
      [null, ...STORE],
      [new String(storeCode), ...STORE],
    ];
    const badGenerate = [
      [],
      ['ANDROID', 'STORE'],
      [...STORE, 'extra'],
      ['ANDROID', undefined, 'example.com'],
      [{}, 'STORE', 'example.com'],
    ];

    async function assertSameTypeError(asyncCall, syncCall, args, text) {
      let promise;
      assert.doesNotThrow(() => {
        promise = asyncCall(...args);
      });
      assert.ok(promise instanceof Promise);
      const syncError = (() => {
        try {
          syncCall(...args);
        } catch (err) {
          return err;
        }
        return undefined;
      })();
      assert.ok(syncError instanceof TypeError, 'the native function throws a TypeError');
      await assert.rejects(
        promise,
        (err) => err instanceof TypeError && err.message === text && err.message === syncError.message,
      );
    }

    it('reject with the native TypeError texts, never throw', async () => {
      for (const args of badValidate) {
        await assertSameTypeError(
          api.validateRequestAsync,
          api.validateRequest,
          args,
          messages.validateRequestArguments,
        );
      }
      for (const args of badGenerate) {
        await assertSameTypeError(
          api.generateAuthCodeAsync,
          api.generateAuthCode,
          args,
          messages.generateAuthCodeArguments,
        );
      }
    });

    it('are found before the pool is asked: a full or closed pool still says TypeError', async () => {
      const full = validator({ threads: 1, maxQueue: 0 });
      const busy = full.validateRequestAsync(slowCode, ...STORE);
      await assert.rejects(full.validateRequestAsync(storeCode, ...STORE), { code: 'ERR_HEADER_VALIDATOR_OVERLOADED' });
      await assert.rejects(full.validateRequestAsync(storeCode), TypeError);
      await assert.rejects(full.generateAuthCodeAsync(1, 2, 3), TypeError);
      assert.equal(await busy, true);

      const closed = validator();
      await closed.close();
      await assert.rejects(closed.validateRequestAsync(), TypeError);
    });
  });
});

describe('createValidator', () => {
  it('refuses bad options', () => {
    for (const threads of [0, -1, 1.5, '2', NaN, 257, 1e9])
      assert.throws(() => api.createValidator({ threads }), { name: 'RangeError', message: /from 1 to 256/ });
    for (const maxQueue of [-1, 0.5, Infinity])
      assert.throws(() => api.createValidator({ maxQueue }), RangeError, String(maxQueue));
    assert.throws(() => api.createValidator({ maxThreads: 2 }), /unknown option "maxThreads"/);
    assert.throws(() => api.createValidator(null), TypeError);
  });

  it('sheds load at once when every thread is busy and the queue is full', async () => {
    const v = validator({ threads: 1, maxQueue: 1 });
    const running = v.validateRequestAsync(slowCode, ...STORE);
    const waiting = v.validateRequestAsync(otherSlowCode, ...STORE);
    const refused = v.validateRequestAsync(tamper(slowCode), ...STORE);
    const refusedGenerate = v.generateAuthCodeAsync(...STORE);
    // The refusals come before the accepted calls have finished any bcrypt work.
    assert.equal(await settledFirst(refused, running, waiting), 0);
    await assert.rejects(
      refused,
      (err) => err.code === 'ERR_HEADER_VALIDATOR_OVERLOADED' && /try again later/.test(err.message),
    );
    await assert.rejects(refusedGenerate, { code: 'ERR_HEADER_VALIDATOR_OVERLOADED' });
    assert.deepEqual(await Promise.all([running, waiting]), [true, true]);
    // Capacity comes back once calls finish.
    assert.equal(await v.validateRequestAsync(storeCode, ...STORE), true);
  });

  it('close() lets accepted calls finish, then refuses new ones', async () => {
    const v = validator({ threads: 1, maxQueue: 3 });
    const accepted = [
      v.validateRequestAsync(storeCode, ...STORE),
      v.validateRequestAsync(tamper(storeCode), ...STORE),
      v.generateAuthCodeAsync('WEB', 'KIOSK', 'example.com'),
      v.validateRequestAsync(storeCode, ...STORE),
    ];
    const closing = v.close();
    assert.equal(v.close(), closing);
    await assert.rejects(
      v.validateRequestAsync(storeCode, ...STORE),
      (err) => err.code === 'ERR_HEADER_VALIDATOR_CLOSED' && /closed/.test(err.message),
    );
    await closing;
    assert.deepEqual(await Promise.all(accepted), [true, false, null, true]);
    await assert.rejects(v.generateAuthCodeAsync(...STORE), { code: 'ERR_HEADER_VALIDATOR_CLOSED' });
    // The synchronous functions do not need the pool.
    assert.equal(v.validateRequest(storeCode, ...STORE), true);
  });

  it('closes at once when it never started a thread', async () => {
    const v = api.createValidator();
    await v.close();
    await assert.rejects(v.validateRequestAsync(storeCode, ...STORE), { code: 'ERR_HEADER_VALIDATOR_CLOSED' });
  });
});

describe('process lifetime', () => {
  it('a script that uses the async API exits by itself, without close()', async () => {
    const script = `
      import { validateRequestAsync, generateAuthCodeAsync } from 'header-validator';
      console.log(await validateRequestAsync(process.env.CODE, 'ANDROID', 'STORE', 'example.com'));
      console.log(await generateAuthCodeAsync('WEB', 'KIOSK', 'example.com'));`;
    const { status, signal, stdout } = await runNode(['--input-type=module', '-e', script], {
      env: { CODE: storeCode },
    });
    assert.equal(signal, null, 'the script had to be killed: the pool kept it alive');
    assert.equal(status, 0);
    assert.equal(stdout, 'true\nnull\n');
  });

  it('closing pools whose threads are still loading the module does not crash', async () => {
    const script = `
      const { createValidator } = require('./lib');
      (async () => {
        for (const threads of [2, 4, 4, 8]) {
          const v = createValidator({ threads });
          // Starts every thread; the first to load answers, the others may still be loading.
          const answer = v.generateAuthCodeAsync('WEB', 'KIOSK', 'example.com');
          await v.close();
          console.log(await answer);
        }
        const unused = createValidator({ threads: 2 });
        unused.validateRequestAsync(process.env.CODE, 'ANDROID', 'STORE', 'example.com').then((r) => console.log(r));
        unused.close();
      })();`;
    const { status, signal, stdout, stderr } = await runNode(['-e', script], { env: { CODE: storeCode } });
    assert.equal(signal, null);
    assert.equal(status, 0, stderr);
    assert.equal(stdout, 'null\nnull\nnull\nnull\ntrue\n');
  });

  it('exiting while the threads are starting does not crash', async () => {
    const script = `
      const { createValidator } = require('./lib');
      createValidator({ threads: 4 }).validateRequestAsync(process.env.CODE, 'ANDROID', 'STORE', 'example.com');
      setImmediate(() => process.exit(0));`;
    const { status, signal, stderr } = await runNode(['-e', script], { env: { CODE: storeCode } });
    assert.deepEqual({ status, signal }, { status: 0, signal: null }, stderr);
  });

  it('loading the entry loads neither the pool nor the cache; the first async call does', async () => {
    const script = `
      const hv = require('./lib');
      const loaded = () => ['piscina', 'lru-cache'].filter((name) =>
        Object.keys(require.cache).some((file) => file.includes('/node_modules/' + name + '/')));
      console.log(JSON.stringify(loaded()), hv.validateRequest(process.env.CODE, 'ANDROID', 'STORE', 'example.com'));
      hv.validateRequestAsync(process.env.CODE, 'ANDROID', 'STORE', 'example.com')
        .then((valid) => console.log(JSON.stringify(loaded()), valid));`;
    const { status, stdout } = await runNode(['-e', script], { env: { CODE: storeCode } });
    assert.equal(status, 0);
    assert.equal(stdout, '[] true\n["piscina","lru-cache"] true\n');
  });

  it('the module-level close() closes the default validator', async () => {
    const script = `
      const hv = require('./lib');
      hv.validateRequestAsync(process.env.CODE, 'ANDROID', 'STORE', 'example.com').then((r) => console.log(r));
      hv.close().then(() => hv.validateRequestAsync(process.env.CODE, 'ANDROID', 'STORE', 'example.com'))
        .catch((err) => console.log(err.code));`;
    const { status, stdout } = await runNode(['-e', script], { env: { CODE: storeCode } });
    assert.equal(status, 0);
    assert.equal(stdout, 'true\nERR_HEADER_VALIDATOR_CLOSED\n');
  });
});

describe('tableInfo', () => {
  const info = api.tableInfo();

  it('describes the demo table this repository builds by default', () => {
    const table = fs.readFileSync(path.join(ROOT, 'src', 'tokens', 'token_table.json'));
    assert.equal(info.sha256, crypto.createHash('sha256').update(table).digest('hex'));
    assert.equal(info.demo, true);
    assert.equal(info.demoTokens, 60);
    assert.equal(info.undecodable, 0);
    const key = ({ host, platform, userType }) => `${host} ${platform} ${userType}`;
    assert.deepEqual(info.combinations.map(key).sort(), combinations.map(key).sort());
    assert.deepEqual(Object.keys(info.hosts).sort(), [
      'beta.example.com',
      'dev.example.com',
      'example.com',
      'staging.example.com',
      'test.example.com',
      'www.example.com',
    ]);
    assert.deepEqual([...info.hosts['example.com'].IOS].sort(), ['PROVIDER', 'STORE', 'USER']);
  });

  it('cannot be changed by a caller', () => {
    assert.throws(() => {
      info.hosts['example.com'].WEB.push('KIOSK');
    }, TypeError);
    assert.equal(api.tableInfo().hosts['example.com'].WEB.length, 1);
  });
});
