'use strict';

// Every JavaScript and TypeScript block of README.md and docs/*.md as written:
// JavaScript blocks run against this build under a harness that closes what
// they open; TypeScript blocks compile with tsc --strict (module nodenext). A
// block whose first line is a comment starting "fragment:" is only parsed.
// Every link between these documents and SECURITY.md leads to a file that
// exists and, where it names one, to a heading of that file.

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

const DOCS = fs
  .readdirSync(path.join(ROOT, 'docs'), { withFileTypes: true })
  .filter((entry) => entry.isFile() && entry.name.endsWith('.md'))
  .map((entry) => `docs/${entry.name}`)
  .sort();
const WITH_BLOCKS = ['README.md', ...DOCS];
const LINKED = [...WITH_BLOCKS, 'SECURITY.md'];

const read = (document) => fs.readFileSync(path.join(ROOT, document), 'utf8');
const FENCE = /^```(\w*)\n([\s\S]*?)^```$/gm;

function codeBlocks(document) {
  const text = read(document);
  const blocks = [];
  for (let m; (m = FENCE.exec(text));) {
    if (m[1] !== 'js' && m[1] !== 'ts') continue;
    const line = text.slice(0, m.index).split('\n').length;
    const esm = /^\s*(import|export)\s/m.test(m[2]);
    const fragment = /^\/\/ fragment:/.test(m[2]);
    blocks.push({ document, language: m[1], code: m[2], line, esm, fragment });
  }
  return blocks;
}

// The anchors GitHub gives a document's headings: lower case, punctuation
// dropped, spaces as hyphens, a repeated one numbered.
function anchors(document) {
  const seen = new Map();
  const result = new Set();
  for (const [, heading] of read(document)
    .replace(FENCE, '')
    .matchAll(/^#{1,6} +(.+?) *$/gm)) {
    const slug = heading
      .toLowerCase()
      .replace(/[^\p{L}\p{N}\- _]/gu, '')
      .replace(/ /g, '-');
    const count = seen.get(slug) ?? 0;
    seen.set(slug, count + 1);
    result.add(count === 0 ? slug : `${slug}-${count}`);
  }
  return result;
}

// Links to other files of the repository and to headings, outside code blocks.
function internalLinks(document) {
  const text = read(document).replace(FENCE, '');
  return [...text.matchAll(/\]\(([^)\s]+)\)/g)]
    .map((m) => m[1])
    .filter((target) => !/^[a-z][a-z0-9+.-]*:/i.test(target));
}

const blocks = WITH_BLOCKS.flatMap(codeBlocks);
fs.rmSync(WORK, { recursive: true, force: true });
fs.mkdirSync(WORK, { recursive: true });
const where = (block) => `${block.document}:${block.line}`;
const fileOf = (block) => {
  const extension = (block.language === 'ts' ? '.?ts' : '.?js').replace('?', block.esm ? 'm' : 'c');
  return path.join(WORK, `${block.document.replace(/\.md$/, '').replace(/\W/g, '-')}-line-${block.line}${extension}`);
};

describe('README and docs code blocks', () => {
  it('has JavaScript and TypeScript blocks to check', () => {
    assert.ok(blocks.filter((b) => b.language === 'js').length >= 5);
    assert.ok(blocks.filter((b) => b.language === 'ts').length >= 2);
  });

  for (const block of blocks.filter((b) => b.language === 'js')) {
    it(`the JavaScript block at ${where(block)} ${block.fragment ? 'parses' : 'runs'}`, async () => {
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

describe('links between README, SECURITY.md and docs', () => {
  for (const document of LINKED) {
    it(`every link of ${document} leads to a file and heading that exist`, () => {
      const broken = [];
      for (const target of internalLinks(document)) {
        const [file, anchor] = target.split('#');
        const linked =
          file === '' ? document : path.posix.normalize(path.posix.join(path.posix.dirname(document), file));
        if (!fs.existsSync(path.join(ROOT, linked))) broken.push(`${target}: no file ${linked}`);
        else if (anchor !== undefined && !(linked.endsWith('.md') && anchors(linked).has(anchor)))
          broken.push(`${target}: no heading #${anchor} in ${linked}`);
      }
      assert.deepEqual(broken, []);
    });
  }
});
