'use strict';

// Loading the module: a build that is missing, for another machine or without
// its manifest; which of a package's prebuilds and a local build is loaded;
// what each unsupported system and each dlopen failure is told; and the demo
// table refused in production by every entry. Each load runs in a child
// process, most in a copy of the JavaScript layer beside the file in question.

const { after, before, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const { load, unsupportedRuntime, explainDlopenFailure, MODULE_PATH, MANIFEST_PATH } = require('../../lib/native');
const { demoCode } = require('../support/codes.js');
const { runNode } = require('../support/child.js');
const { ROOT } = require('../support/module.js');
const { PRODUCTION } = require('../support/production.js');
const { copyOfPackage } = require('../support/installation.js');

const storeCode = demoCode('ANDROID', 'STORE', 'example.com');

describe('the demo table in production', () => {
  it('production refuses the demo table; ..._IN_PRODUCTION=1 lets it run with one warning', async () => {
    const refused = await runNode(
      ['-e', "try { require('./lib'); } catch (err) { console.log(JSON.stringify([err.code, err.message])); }"],
      { env: PRODUCTION },
    );
    const [code, message] = JSON.parse(refused.stdout);
    assert.equal(code, 'ERR_HEADER_VALIDATOR_DEMO_TABLE');
    assert.match(
      message,
      /60 public demo tokens.*HEADER_VALIDATOR_TABLE=.*HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PRODUCTION=1\.$/,
    );
    const script =
      "require('./lib'); require('./lib/index.js'); import('header-validator').then(() => console.log('loaded'));";
    const allowed = await runNode(['-e', script], {
      env: { ...PRODUCTION, HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PRODUCTION: '1' },
    });
    assert.equal(allowed.stdout, 'loaded\n');
    assert.equal(allowed.stderr.match(/HEADER_VALIDATOR_DEMO_TABLE/g)?.length, 1, allowed.stderr);
    assert.match(allowed.stderr, /60 public demo tokens/);
    assert.doesNotMatch(allowed.stderr, /DeprecationWarning/);
    const development = await runNode(['-e', script], { env: { NODE_ENV: 'development' } });
    assert.equal(development.stderr, '');
  });

  it('HEADER_VALIDATOR_ALLOW_DEMO=1 still lets it run, with one deprecation warning from the main thread', async () => {
    // The pool's thread loads the module too, under the same environment.
    const script =
      "const hv = require('./lib'); require('./lib/index.js');" +
      `hv.validateRequestAsync(${JSON.stringify(storeCode)}, 'ANDROID', 'STORE', 'example.com')` +
      '.then((valid) => { console.log(valid); return hv.close(); });';
    const { stdout, stderr } = await runNode(['-e', script], {
      env: { ...PRODUCTION, HEADER_VALIDATOR_ALLOW_DEMO: '1' },
    });
    assert.equal(stdout, 'true\n', stderr);
    const deprecations = stderr.split('\n').filter((line) => line.includes('DeprecationWarning'));
    assert.deepEqual(deprecations.length, 1, stderr);
    assert.match(
      deprecations[0],
      /\[HEADER_VALIDATOR_DEP_ALLOW_DEMO\] DeprecationWarning: .*HEADER_VALIDATOR_ALLOW_DEMO=1 is deprecated and stops working in version 0\.2\.0: set HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PRODUCTION=1 instead/,
    );
    assert.equal(stderr.match(/HEADER_VALIDATOR_DEMO_TABLE/g)?.length, 1, stderr);
  });

  it('every entry refuses the demo table in production, NODE_ENV written in any case', async () => {
    // Each prints the error code it met, or 'loaded'. The Fastify plugin must
    // refuse before the server is ready, not at its first request.
    const fastifyReady = (plugin) =>
      `const app = require('fastify')(); app.register(${plugin}, { host: 'example.com' });` +
      "app.ready().then(() => console.log('loaded'), (err) => console.log(err.code));";
    const entries = {
      'require(header-validator)': "require('header-validator'); console.log('loaded');",
      'import(header-validator)': "import('header-validator').then(() => console.log('loaded'), failed);",
      'header-validator/fastify plugin': fastifyReady("require('header-validator/fastify')"),
      'header-validator/fastify ESM plugin': `import('header-validator/fastify').then((m) => {
        ${fastifyReady('m.default')} }, failed);`,
      'header-validator/fastify hook': "require('header-validator/fastify').fastifyAuthHook({ host: 'example.com' });",
      createValidator: "require('./lib/validator').createValidator(); console.log('loaded');",
      'command line':
        "require('./lib/cli/main').main(['generate', 'ANDROID', 'STORE', 'example.com'])" +
        '.then((status) => console.log(status));',
    };
    const spellings = ['Production', ' PRODUCTION ', 'production\n'];
    const names = Object.keys(entries);
    const runs = names.map((name, i) =>
      runNode(
        [
          '-e',
          `const failed = (err) => console.log(err.code); process.on('uncaughtException', failed); ${entries[name]}`,
        ],
        {
          env: { ...PRODUCTION, NODE_ENV: spellings[i % spellings.length] },
        },
      ),
    );
    const results = await Promise.all(runs);
    names.forEach((name, i) => {
      const expected = name === 'command line' ? '3' : 'ERR_HEADER_VALIDATOR_DEMO_TABLE';
      // Node.js 20 reports a CommonJS module's failure under import() twice: the first line counts.
      assert.equal(results[i].stdout.split('\n')[0].trim(), expected, `${name}: ${results[i].stderr}`);
    });
  });

  it('counts the leaves holding demo tokens, and production refuses any, not only the demo table', async () => {
    // The JavaScript layer beside the real module, under manifests of other builds.
    const dir = copyOfPackage('hv-manifest-');
    try {
      fs.mkdirSync(path.join(dir, 'build', 'Release'), { recursive: true });
      fs.symlinkSync(MODULE_PATH, path.join(dir, 'build', 'Release', 'header_validator.node'));
      const manifest = JSON.parse(fs.readFileSync(MANIFEST_PATH, 'utf8'));
      const script =
        "console.log(require('./lib/table-info').tableInfo().demoTokens); " +
        "try { require('./lib'); console.log('loaded'); } catch (err) { console.log(err.code); }";
      const cases = [
        [{ demo: false, demoTokenLeaves: 1 }, '1\nERR_HEADER_VALIDATOR_DEMO_TABLE\n'],
        [{ demo: true, demoTokenLeaves: undefined }, '60\nERR_HEADER_VALIDATOR_DEMO_TABLE\n'], // before the count
        [{ demo: false, demoTokenLeaves: 0 }, '0\nloaded\n'],
      ];
      for (const [fields, expected] of cases) {
        const written = JSON.stringify({ ...manifest, ...fields });
        fs.writeFileSync(path.join(dir, 'build', 'Release', 'header_validator.manifest.json'), written);
        const { stdout, stderr } = await runNode(['-e', script], {
          cwd: dir,
          env: PRODUCTION,
        });
        assert.equal(stdout, expected, `${JSON.stringify(fields)}: ${stderr}`);
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('load errors', () => {
  let dir;
  // A copy of the JavaScript layer, with the files named here: a source
  // checkout carries CMakeLists.txt, an installed package does not.
  const layout = (files = {}) => {
    const at = copyOfPackage('hv-load-');
    for (const [file, content] of Object.entries(files)) {
      fs.mkdirSync(path.dirname(path.join(at, file)), { recursive: true });
      fs.writeFileSync(path.join(at, file), content);
    }
    return at;
  };
  const made = [];
  before(() => {
    // A source checkout without a build, as after a failed build.
    dir = layout({ 'CMakeLists.txt': '' });
    made.push(dir);
  });
  after(() => made.forEach((at) => fs.rmSync(at, { recursive: true, force: true })));

  const loadEntry = (cwd = dir) =>
    runNode(
      [
        '-e',
        "try { require('./lib'); console.log(JSON.stringify({ loaded: require('./lib/native').MODULE_PATH, " +
          "sha256: require('./lib').tableInfo().sha256 })); } catch (err) { console.log(JSON.stringify({ code: " +
          'err.code, message: err.message })); }',
      ],
      { cwd },
    );

  it('a module that was never built: says so and how to build it', async () => {
    const { stdout } = await loadEntry();
    const err = JSON.parse(stdout);
    assert.equal(err.code, 'ERR_HEADER_VALIDATOR_LOAD');
    assert.match(err.message, /header_validator\.node does not exist \(the module has not been built\)/);
    assert.match(err.message, /npm run build/);
  });

  it('a file that is not a module for this machine: names the platform problem, not dlopen', async () => {
    const release = path.join(dir, 'build', 'Release');
    fs.mkdirSync(release, { recursive: true });
    fs.writeFileSync(path.join(release, 'header_validator.node'), 'not an ELF file\n'.repeat(400));
    const { stdout } = await loadEntry();
    const err = JSON.parse(stdout);
    assert.equal(err.code, 'ERR_HEADER_VALIDATOR_LOAD');
    assert.match(err.message, /was built for another platform or architecture/);
    assert.throws(
      () => load(path.join(release, 'header_validator.node')),
      (e) => /invalid ELF header/.test(e.cause.message),
    );
  });

  it('an installed package loads its prebuild for this platform; a local build for this machine wins', async () => {
    const platform = `${process.platform}-${process.arch}`;
    const manifest = JSON.parse(fs.readFileSync(path.join(ROOT, 'build', 'Release', 'header_validator.manifest.json')));
    const module = fs.readFileSync(path.join(ROOT, 'build', 'Release', 'header_validator.node'));
    const installed = layout({
      [`prebuilds/${platform}/header_validator.node`]: module,
      [`prebuilds/${platform}/header_validator.manifest.json`]: JSON.stringify({ ...manifest, sha256: 'prebuilt' }),
    });
    made.push(installed);
    const prebuilt = {
      loaded: path.join(installed, 'prebuilds', platform, 'header_validator.node'),
      sha256: 'prebuilt',
    };
    assert.deepEqual(JSON.parse((await loadEntry(installed)).stdout), prebuilt);

    // A local build for another machine (an ELF header for s390x) is passed over...
    const elf = Buffer.alloc(64);
    elf.write('\x7fELF\x02\x01\x01', 'latin1');
    elf.writeUInt16LE(process.arch === 's390x' ? 62 : 22, 18);
    fs.mkdirSync(path.join(installed, 'build', 'Release'), { recursive: true });
    fs.writeFileSync(path.join(installed, 'build', 'Release', 'header_validator.node'), elf);
    assert.deepEqual(JSON.parse((await loadEntry(installed)).stdout), prebuilt);
    // ...and one for this machine is loaded.
    fs.writeFileSync(path.join(installed, 'build', 'Release', 'header_validator.node'), module);
    fs.writeFileSync(
      path.join(installed, 'build', 'Release', 'header_validator.manifest.json'),
      JSON.stringify(manifest),
    );
    assert.deepEqual(JSON.parse((await loadEntry(installed)).stdout), {
      loaded: path.join(installed, 'build', 'Release', 'header_validator.node'),
      sha256: manifest.sha256,
    });
  });

  it('the Fastify plugin of a package without its manifest fails ready(), before any request', async () => {
    const platform = `${process.platform}-${process.arch}`;
    const installed = layout({
      [`prebuilds/${platform}/header_validator.node`]: fs.readFileSync(MODULE_PATH),
    });
    made.push(installed);
    const script =
      "const app = require('fastify')(); app.register(require('./lib/fastify-plugin'), { host: 'example.com' });" +
      'app.ready().then(() => console.log(JSON.stringify({ ready: true })), ' +
      '(err) => console.log(JSON.stringify({ code: err.code, message: err.message })));';
    const err = JSON.parse((await runNode(['-e', script], { cwd: installed })).stdout);
    assert.equal(err.code, 'ERR_HEADER_VALIDATOR_LOAD');
    assert.match(err.message, /cannot read the table manifest .*it is missing/);
  });

  it('names each unsupported system, what is supported and how to build from source', () => {
    const installed = { napi: '8', libc: 'glibc', local: false, carried: ['linux-arm64', 'linux-x64'] };
    const supported = /Linux on x86-64 or arm64 with glibc 2\.28 or newer/;
    const fromSource = /build it from source .*\(README\.md, 'Building from source'/;
    // Another system: what is supported; another architecture: what the package carries.
    const cases = [
      [{ ...installed, platform: 'darwin', arch: 'arm64' }, /this is macOS \(darwin-arm64\)/, supported],
      [{ ...installed, platform: 'win32', arch: 'x64' }, /this is Windows \(win32-x64\)/, supported],
      [
        { ...installed, platform: 'linux', arch: 'x64', libc: 'musl' },
        /on musl libc \(Alpine.*untested on musl/,
        supported,
      ],
      [
        { ...installed, platform: 'linux', arch: 'ppc64' },
        /modules for linux-arm64 and linux-x64, and this is linux-ppc64/,
      ],
      [
        { ...installed, platform: 'linux', arch: 'arm64', carried: ['linux-x64'] },
        /for linux-x64, and this is linux-arm64/,
      ],
    ];
    for (const [runtime, ...expected] of cases) {
      const reason = unsupportedRuntime(runtime);
      for (const pattern of [...expected, fromSource]) assert.match(reason, pattern, JSON.stringify(runtime));
    }
    assert.match(
      unsupportedRuntime({ ...installed, platform: 'linux', arch: 'x64', napi: '7' }),
      /needs Node-API version 8 \(Node\.js 20 or newer\).* offers 7; upgrade Node\.js/,
    );
    assert.equal(unsupportedRuntime({ ...installed, platform: 'linux', arch: 'arm64' }), undefined);
    // A local build was made on this system, whatever it is.
    assert.equal(
      unsupportedRuntime({ platform: 'linux', arch: 'ppc64', napi: '9', libc: 'musl', local: true }),
      undefined,
    );

    // glibc: the version the build's manifest names, not only the one dlopen tripped on first.
    const glibc = explainDlopenFailure(
      new Error("/lib64/libc.so.6: version `GLIBC_2.18' not found (required by header_validator.node)"),
      { manifest: { runtime: { glibc: '2.25' } }, glibc: '2.17' },
    );
    assert.equal(glibc.code, 'ERR_HEADER_VALIDATOR_LOAD');
    assert.match(glibc.message, /needs glibc 2\.25 or newer, and this system has 2\.17/);
    assert.match(glibc.message, supported);
    const libstdcxx = explainDlopenFailure(new Error("libstdc++.so.6: version `GLIBCXX_3.4.29' not found"));
    assert.match(libstdcxx.message, /needs GLIBCXX_3\.4\.29 from the C\+\+ runtime/);
    const library = explainDlopenFailure(
      new Error('libstdc++.so.6: cannot open shared object file: No such file or directory'),
    );
    assert.match(library.message, /needs the system library libstdc\+\+\.so\.6, which is missing/);
  });
});
