'use strict';

// The preloaded shim (test/support/fail_shim.c) that forces failures under the
// module or traces its hashing, built once per test file into a temporary
// directory.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const SOURCE = path.join(__dirname, 'fail_shim.c');

// Why a test that needs the shim cannot run here, or false.
const noCompiler = spawnSync('cc', ['--version']).error ? 'no C compiler (cc) to build the preload shim' : false;
// A sanitizer runtime preloaded ahead of the shim (for a sanitized build of
// the module) keeps its own calloc, which the shim then cannot replace.
const sanitizerAllocator = /(asan|tsan|msan|lsan)[^/:]*\.so/.test(process.env.LD_PRELOAD ?? '')
  ? 'a preloaded sanitizer runtime owns calloc'
  : false;

/** Builds the shim; returns { path, preload, remove } where preload keeps anything preloaded before it first. */
function buildShim() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-shim-'));
  const shim = path.join(dir, 'fail_shim.so');
  const build = spawnSync('cc', ['-shared', '-fPIC', '-o', shim, SOURCE, '-ldl'], { encoding: 'utf8' });
  assert.equal(build.status, 0, `building the shim failed:\n${build.stderr}`);
  return {
    path: shim,
    preload: [process.env.LD_PRELOAD, shim].filter(Boolean).join(':'),
    remove: () => fs.rmSync(dir, { recursive: true, force: true }),
  };
}

module.exports = { buildShim, noCompiler, sanitizerAllocator };
