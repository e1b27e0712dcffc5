'use strict';

// The TypeScript declarations against the usage files in test/types/ (one per
// framework, lines that must not compile included), the main entry's against a
// consumer that has neither Express's nor Fastify's types, and against one
// that declares Express's Request.auth itself.

const { it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { runNode } = require('../support/child.js');
const { ROOT } = require('../support/module.js');

const tsc = path.join(ROOT, 'node_modules', 'typescript', 'bin', 'tsc');

it('the declarations type-check against the usage files', async () => {
  const { status, stdout, stderr } = await runNode([tsc, '--noEmit', '-p', path.join('test', 'types')], {
    timeout: 300_000,
  });
  assert.equal(status, 0, stdout + stderr);
});

it("the shared level's option takes node-redis's clients as they are, and ioredis's through fromIoredis", async () => {
  const project = path.join('test', 'types', 'tsconfig.redis.json');
  const { status, stdout, stderr } = await runNode([tsc, '--noEmit', '-p', project], { timeout: 300_000 });
  assert.equal(status, 0, stdout + stderr);
});

it('the main entry compiles beside another library that declares Request.auth', async () => {
  const file = path.join('test', 'types', 'own-request-auth.mts');
  const options = ['--strict', '--noEmit', '--module', 'nodenext', '--target', 'es2022', '--types', 'node'];
  const { status, stdout, stderr } = await runNode([tsc, ...options, file], { timeout: 300_000 });
  assert.equal(status, 0, stdout + stderr);
});

it('the main entry compiles for a consumer without Express or Fastify types', async () => {
  const app = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-types-'));
  try {
    // The package as installed: its manifest and declarations, and Node.js's types, nothing else.
    const installed = path.join(app, 'node_modules', 'header-validator');
    fs.mkdirSync(installed, { recursive: true });
    fs.copyFileSync(path.join(ROOT, 'package.json'), path.join(installed, 'package.json'));
    fs.cpSync(path.join(ROOT, 'types'), path.join(installed, 'types'), { recursive: true });
    fs.mkdirSync(path.join(app, 'node_modules', '@types'));
    fs.symlinkSync(path.join(ROOT, 'node_modules', '@types', 'node'), path.join(app, 'node_modules', '@types', 'node'));
    fs.symlinkSync(path.join(ROOT, 'node_modules', 'undici-types'), path.join(app, 'node_modules', 'undici-types'));
    fs.copyFileSync(path.join(ROOT, 'test', 'types', 'api.mts'), path.join(app, 'api.mts'));
    const options = { strict: true, noEmit: true, module: 'nodenext', target: 'es2022', types: ['node'] };
    fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({ compilerOptions: options, files: ['api.mts'] }));
    const { status, stdout, stderr } = await runNode([tsc, '-p', app], { cwd: app, timeout: 300_000 });
    assert.equal(status, 0, stdout + stderr);
  } finally {
    fs.rmSync(app, { recursive: true, force: true });
  }
});
