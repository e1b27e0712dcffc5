'use strict';

// The TypeScript declarations against a usage file (test/types/), including
// lines that must not compile.

const { it } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { runNode } = require('../support/child.js');
const { ROOT } = require('../support/module.js');

it('the declarations type-check against the usage file', async () => {
  const tsc = path.join(ROOT, 'node_modules', 'typescript', 'bin', 'tsc');
  const { status, stdout, stderr } = await runNode([tsc, '--noEmit', '-p', path.join('test', 'types')], {
    timeout: 300_000,
  });
  assert.equal(status, 0, stdout + stderr);
});
