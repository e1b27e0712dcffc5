'use strict';

// Every JavaScript and TypeScript block of README.md as written: JavaScript
// blocks run against this build under a harness that closes what they open;
// TypeScript blocks compile with tsc --strict (module nodenext). A block whose
// first line is a comment starting "fragment:" is only parsed.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { runNode } = require('../support/child.js');
const { ROOT } = require('../support/module.js');

// Inside the package root, so that `header-validator` resolves to this package
// and the frameworks to its node_modules.
const WORK = path.join(ROOT, 'build', 'readme-blocks');
const HARNESS = path.join(__dirname, '..', 'support', 'readme-harness.js');
const TSC = path.join(ROOT, 'node_modules', 'typescript', 'bin', 'tsc');

function readmeBlocks() {
  const text = fs.readFileSync(path.join(ROOT, 'README.md'), 'utf8');
  const blocks = [];
  const fence = /^```(js|ts)\n([\s\S]*?)^```$/gm;
  for (let m; (m = fence.exec(text));) {
    const line = text.slice(0, m.index).split('\n').length;
    const esm = /^\s*(import|export)\s/m.test(m[2]);
    blocks.push({ language: m[1], code: m[2], line, esm, fragment: /^\/\/ fragment:/.test(m[2]) });
  }
  return blocks;
}

const blocks = readmeBlocks();
fs.rmSync(WORK, { recursive: true, force: true });
fs.mkdirSync(WORK, { recursive: true });
const fileOf = (block) =>
  path.join(
    WORK,
    `line-${block.line}.${block.language === 'ts' ? 'm' : ''}${block.esm ? 'mjs' : 'cjs'}`.replace('mmjs', 'mts'),
  );

describe('README code blocks', () => {
  it('has JavaScript and TypeScript blocks to check', () => {
    assert.ok(blocks.filter((b) => b.language === 'js').length >= 5);
    assert.ok(blocks.filter((b) => b.language === 'ts').length >= 2);
  });

  for (const block of blocks.filter((b) => b.language === 'js')) {
    it(`the JavaScript block at line ${block.line} ${block.fragment ? 'parses' : 'runs'}`, async () => {
      const file = fileOf(block);
      fs.writeFileSync(file, block.code);
      const args = block.fragment ? ['--check', file] : [HARNESS, file];
      const { status, signal, stdout, stderr } = await runNode(args, { timeout: 30_000 });
      assert.equal(status, 0, `exit ${status ?? signal}\n${stdout}${stderr}`);
    });
  }

  it('the TypeScript blocks compile', async () => {
    const files = blocks
      .filter((b) => b.language === 'ts')
      .map((block) => {
        const file = fileOf(block);
        fs.writeFileSync(file, block.code);
        return path.basename(file);
      });
    const compilerOptions = {
      strict: true,
      noEmit: true,
      module: 'nodenext',
      moduleResolution: 'nodenext',
      target: 'es2022',
      types: ['node'],
    };
    fs.writeFileSync(path.join(WORK, 'tsconfig.json'), JSON.stringify({ compilerOptions, files }));
    const { status, stdout, stderr } = await runNode([TSC, '-p', WORK], { timeout: 300_000 });
    assert.equal(status, 0, stdout + stderr);
  });
});
