'use strict';
// The Python and shell examples of docs/clients.md, run as the document
// shows them (the blocks whose first line starts "# tested:"), with a public
// demo token: each must make a cost-12 code that this build accepts. Their
// tools come from Debian (python3-bcrypt, apache2-utils), which
// scripts/install-build-deps.sh installs.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { ROOT, demoTokens } = require('../support/module.js');
const { validateRequest } = require('../../lib');

const DOC = 'docs/clients.md';
const TOKEN = demoTokens['example.com'].ANDROID.STORE;
// Debian's own interpreter, where python3-bcrypt is installed (a python3 earlier on PATH may not see it).
const PYTHON = '/usr/bin/python3';

function testedBlocks(language) {
  const text = fs.readFileSync(path.join(ROOT, DOC), 'utf8');
  const blocks = [];
  for (const m of text.matchAll(/^```(\w*)\n([\s\S]*?)^```$/gm)) {
    if (m[1] === language && m[2].startsWith('# tested:')) {
      blocks.push({ code: m[2], line: text.slice(0, m.index).split('\n').length });
    }
  }
  return blocks;
}

// Runs a block with the token in AUTH_TOKEN and what `reveal` appends, which prints the block's result.
function run(command, args, code, reveal) {
  const result = spawnSync(command, [...args, `${code}\n${reveal}`], {
    encoding: 'utf8',
    env: { PATH: process.env.PATH, AUTH_TOKEN: TOKEN },
  });
  assert.equal(result.error, undefined, `${command} is installed by scripts/install-build-deps.sh`);
  assert.equal(result.status, 0, result.stderr);
  return result.stdout;
}

function assertAccepted(code, platform = 'ANDROID', userType = 'STORE') {
  assert.match(code, /^\$2[aby]\$12\$[./A-Za-z0-9]{53}$/);
  assert.equal(validateRequest(code, platform, userType, 'example.com'), true);
}

describe(`the examples of ${DOC} make codes the server accepts`, () => {
  const python = testedBlocks('python');
  const shell = testedBlocks('sh');

  it('has a tested Python and a tested shell example', () => {
    assert.equal(python.length, 1);
    assert.equal(shell.length, 1);
  });

  for (const { code, line } of python) {
    it(`the Python block at line ${line}, with Debian's python3-bcrypt`, () => {
      const headers = JSON.parse(run(PYTHON, ['-c'], code, 'import json, sys\njson.dump(headers, sys.stdout)'));
      assertAccepted(headers['x-auth-code'], headers['x-platform'], headers['x-user-type']);
    });
  }

  for (const { code, line } of shell) {
    it(`the shell block at line ${line}, with Debian's htpasswd`, () => {
      const made = run('bash', ['-euo', 'pipefail', '-c'], code, 'printf %s "$code"');
      assert.match(made, /^\$2y\$/, 'htpasswd writes $2y$ codes, as the document says');
      assertAccepted(made);
    });
  }
});
