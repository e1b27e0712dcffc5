#!/usr/bin/env node
'use strict';
// Configures and builds the native module with CMake into build/Release.
// HEADER_VALIDATOR_TABLE=/abs/path/table.json compiles that encoded table
// instead of the demo table; HEADER_VALIDATOR_ALLOW_DEMO_TOKENS=1 lets a custom
// table hold public demo tokens (throwaway test builds only). Both are passed
// on every build, so switching either (or back) always redoes what depends on it.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build');

function run(cmd, args) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: 'inherit' });
  if (result.error) {
    console.error(
      `build: cannot run ${cmd}: ${result.error.message}` +
        (result.error.code === 'ENOENT' ? ' (run scripts/install-build-deps.sh first)' : ''),
    );
    process.exit(1);
  }
  if (result.status !== 0) process.exit(result.status ?? 1);
}

function tablePath() {
  const given = process.env.HEADER_VALIDATOR_TABLE;
  if (!given) return path.join(root, 'src', 'tokens', 'token_table.json');
  // npm runs scripts from the package root; resolve against where the user was.
  const resolved = path.resolve(process.env.INIT_CWD || process.cwd(), given);
  if (!fs.existsSync(resolved) || !fs.statSync(resolved).isFile()) {
    console.error(`build: HEADER_VALIDATOR_TABLE does not name a file: ${resolved}`);
    process.exit(1);
  }
  return resolved;
}

const jobs = String(Math.max(1, Math.min(require('node:os').availableParallelism(), 4)));
const allowDemoTokens = process.env.HEADER_VALIDATOR_ALLOW_DEMO_TOKENS === '1' ? 'ON' : 'OFF';
run('cmake', [
  '-S',
  root,
  '-B',
  buildDir,
  '-DCMAKE_BUILD_TYPE=Release',
  `-DHV_TABLE=${tablePath()}`,
  `-DHV_ALLOW_DEMO_TOKENS=${allowDemoTokens}`,
]);
run('cmake', ['--build', buildDir, '--parallel', jobs]);
