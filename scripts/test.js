#!/usr/bin/env node
'use strict';
// Runs every test: the C++ unit tests through CTest, then the JavaScript tests.

const { spawnSync } = require('node:child_process');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(root, 'build');

function run(cmd, args) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: 'inherit' });
  if (result.error) throw result.error;
  return result.status ?? 1;
}

let failed = run('ctest', ['--test-dir', buildDir, '--output-on-failure', '--parallel', '2']) !== 0;
failed = run(process.execPath, ['--test', '--test-concurrency=2', 'test/js/']) !== 0 || failed;
process.exit(failed ? 1 : 0);
