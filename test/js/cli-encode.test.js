'use strict';

// The encode command, run as a real process: the table it writes to standard
// output or to --out (mode 0600, the old file replaced whole), its refusals of
// a plain file (status 1, every fault named by its place and never by its
// token, --allow-demo-tokens and --allow-shared-tokens), the --out targets it
// must leave alone, and its usage errors. What it wrote is read back with the
// independent decoder of test/support/table-decoder.js. The encoder's API is
// tested in encoder.test.js, the other commands in cli.test.js.

const { after, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { BIN, cli } = require('../support/cli.js');
const { demoTokens, allTokens, ROOT } = require('../support/module.js');
const { decodeLeaf } = require('../support/table-decoder.js');
const {
  randomAsciiToken,
  fullPlainTable,
  leavesOf,
  sameToken,
  assertNoTokenIn,
} = require('../support/plain-tables.js');

describe('encode command', () => {
  const dirs = [];
  const scratch = () => {
    dirs.push(fs.mkdtempSync(path.join(os.tmpdir(), 'hv-encode-')));
    return dirs[dirs.length - 1];
  };
  after(() => dirs.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));

  function writePlain(dir, table) {
    const file = path.join(dir, 'plain.json');
    fs.writeFileSync(file, JSON.stringify(table));
    return file;
  }

  function assertDecodesTo(encoded, plain) {
    for (const [where, token] of leavesOf(plain)) {
      const [host, platform, userType] = where.split('/');
      assert.ok(
        sameToken(decodeLeaf(encoded[host][platform][userType]).token, token),
        `${where} decodes to another token`,
      );
    }
  }

  it('prints the encoded table to stdout, one leaf per line', async () => {
    const dir = scratch();
    const plain = fullPlainTable();
    const result = await cli(['encode', writePlain(dir, plain)]);
    assert.equal(result.status, 0, 'exit status');
    assert.match(result.stderr, /^header-validator encode: wrote 60 tokens for 6 hosts to standard output; [^\n]+\n$/);
    assertDecodesTo(JSON.parse(result.stdout), plain);
    assert.equal(result.stdout.split('\n').filter((line) => line.includes('[')).length, 60);
  });

  it('writes an encoded table of the same combinations, without the tokens', async () => {
    const dir = scratch();
    const plain = path.join(dir, 'mine.plain.json');
    const token = 'a-test-token-of-enough-length-0001';
    fs.writeFileSync(plain, JSON.stringify({ 'api.example.org': { IOS: { USER: token, STORE: `${token}-2` } } }));
    const out = path.join(dir, 'table.json');
    const { status, stderr } = await cli(['encode', plain, '--out', out]);
    assert.equal(status, 0, stderr);
    const text = fs.readFileSync(out, 'utf8');
    const table = JSON.parse(text);
    assert.deepEqual(Object.keys(table['api.example.org'].IOS).sort(), ['STORE', 'USER']);
    assert.ok(table['api.example.org'].IOS.USER.every((n) => /^\d+$/.test(n)));
    assert.ok(!text.includes(token));
  });

  it('writes --out with mode 0600 whatever the umask, replacing the file and leaving no temporary file', () => {
    const dir = scratch();
    const plain = fullPlainTable(['example.com']);
    const input = writePlain(dir, plain);
    const out = path.join(dir, 'table.json');
    fs.writeFileSync(out, 'old content');
    fs.chmodSync(out, 0o644);
    const result = spawnSync(
      '/bin/sh',
      ['-c', 'umask 000; exec "$0" "$@"', process.execPath, BIN, 'encode', input, '--out', out],
      { encoding: 'utf8' },
    );
    assert.equal(result.status, 0, 'exit status');
    assert.equal(result.stdout, '');
    assert.equal(fs.statSync(out).mode & 0o777, 0o600);
    const written = fs.readFileSync(out);
    assertDecodesTo(JSON.parse(written), plain);
    const sha256 = crypto.createHash('sha256').update(written).digest('hex');
    assert.equal(
      result.stderr,
      `header-validator encode: wrote 10 tokens for 1 host to ${out} (mode 0600, sha256:${sha256})\n`,
    );
    assert.deepEqual(fs.readdirSync(dir).sort(), ['plain.json', 'table.json']);
  });

  it('refuses a bad plain file with exit 1 and names the place, not the token', async () => {
    const dir = scratch();
    const plain = path.join(dir, 'short.plain.json');
    fs.writeFileSync(
      plain,
      JSON.stringify({ 'example.com': { ANDRIOD: { USER: 'a-test-token-of-enough-length-0002' } } }),
    );
    const { status, stderr } = await cli(['encode', plain]);
    assert.equal(status, 1);
    assert.match(stderr, /ANDRIOD/);
    assert.ok(!stderr.includes('a-test-token'));
  });

  it('refuses with status 1 and messages on stderr, leaving --out untouched', async () => {
    const dir = scratch();
    const token = randomAsciiToken(21).replace(/["\\]/g, 'x');
    const input = writePlain(dir, { 'example.com': { ANDROID: { KIOSK: token } } });
    const out = path.join(dir, 'table.json');
    fs.writeFileSync(out, 'previous table');
    const result = await cli(['encode', input, '--out', out]);
    assert.equal(result.status, 1, 'exit status');
    assertNoTokenIn(result.stderr + result.stdout, token);
    assert.match(result.stderr, /^header-validator encode: example\.com\/ANDROID\/KIOSK: token has 21 bytes/);
    assert.equal(fs.readFileSync(out, 'utf8'), 'previous table');
    assert.deepEqual(fs.readdirSync(dir).sort(), ['plain.json', 'table.json']);
  });

  it('refuses demo and shared tokens unless --allow-demo-tokens or --allow-shared-tokens', async () => {
    const dir = scratch();
    const demoFile = path.join(ROOT, 'tokens', 'demo-tokens.json');
    const shared = path.join(dir, 'shared.plain.json');
    const token = 'a-test-token-of-enough-length-0003';
    fs.writeFileSync(shared, JSON.stringify({ 'example.com': { IOS: { USER: token, STORE: token } } }));
    const cases = [
      [
        demoFile,
        '--allow-demo-tokens',
        /^(header-validator encode: [^\n]+: public demo token [^\n]+\n){60}header-validator encode: use tokens/,
      ],
      [shared, '--allow-shared-tokens', /example\.com\/IOS\/USER and example\.com\/IOS\/STORE have the same/],
    ];
    for (const [plain, flag, refusal] of cases) {
      const refused = await cli(['encode', plain]);
      assert.equal(refused.status, 1, flag);
      assert.match(refused.stderr, refusal);
      assert.equal(refused.stdout, '');
      for (const t of [token, ...allTokens()]) assert.ok(!refused.stderr.includes(t), 'a token was printed');
      const out = path.join(dir, `allowed${flag}.json`);
      const allowed = await cli(['encode', plain, flag, '--out', out]);
      assert.equal(allowed.status, 0, allowed.stderr);
      assert.ok(fs.existsSync(out), `${flag}: no table written`);
    }
  });

  it('reports every fault of a refused file in one run, each naming its place, then how many', async () => {
    const dir = scratch();
    const plain = path.join(dir, 'faults.plain.json');
    const out = path.join(dir, 'never.json');
    const shared = 'a-test-token-of-enough-length-0004';
    fs.writeFileSync(
      plain,
      JSON.stringify({
        'example.com': {
          ANDRIOD: { USER: 'a-test-token-of-enough-length-0005' },
          IOS: { USER: 'a-short-test-token', STORE: demoTokens['example.com'].IOS.STORE, PROVIDER: shared },
          WEB: { USER: shared },
        },
        'dev example.com': { WEB: { USER: 'a-test-token-of-enough-length-0006' } },
      }),
    );
    const { status, stdout, stderr } = await cli(['encode', plain, '--out', out]);
    assert.deepEqual([status, stdout], [1, '']);
    const prefix = 'header-validator encode: ';
    const lines = stderr.trimEnd().split('\n');
    assert.ok(
      lines.every((line) => line.startsWith(prefix)),
      stderr,
    );
    const expected = [
      /^example\.com\/ANDRIOD: unknown platform "ANDRIOD"; did you mean ANDROID\?/,
      /^example\.com\/IOS\/USER: token has 18 bytes/,
      /^host name "dev example\.com" is not a plain DNS name/,
      /^example\.com\/IOS\/STORE: public demo token/,
      /^example\.com\/IOS\/PROVIDER and example\.com\/WEB\/USER have the same token/,
      /^use tokens of your own \(--allow-demo-tokens/,
      /^give each combination its own token \(--allow-shared-tokens/,
      /^refused .*faults\.plain\.json: 5 problems; nothing was written$/,
    ];
    assert.equal(lines.length, expected.length, stderr);
    lines.forEach((line, i) => assert.match(line.slice(prefix.length), expected[i]));
    for (const t of ['a-test-token', 'a-short-test', ...allTokens()])
      assert.ok(!stderr.includes(t), 'a token was printed');
    assert.equal(fs.existsSync(out), false);
  });

  it('fails on an --out that is a FIFO or a symbolic link with status 3, leaving it as it was', async () => {
    const dir = scratch();
    const input = writePlain(dir, fullPlainTable(['example.com']));
    const fifo = path.join(dir, 'fifo');
    assert.equal(spawnSync('mkfifo', [fifo]).status, 0, 'mkfifo');
    const pointee = path.join(dir, 'pointee');
    fs.writeFileSync(pointee, 'kept');
    const link = path.join(dir, 'link');
    fs.symlinkSync(pointee, link);
    for (const [out, kind] of [
      [fifo, 'a FIFO'],
      [link, 'a symbolic link'],
    ]) {
      const result = await cli(['encode', input, '--out', out]);
      assert.equal(result.status, 3, kind);
      assert.equal(
        result.stderr,
        `header-validator encode: cannot write ${out}: it is ${kind}; --out must name a regular file or a new one\n`,
      );
    }
    assert.ok(fs.lstatSync(fifo).isFIFO(), 'the FIFO was replaced');
    assert.equal(fs.readlinkSync(link), pointee, 'the link was replaced');
    assert.equal(fs.readFileSync(pointee, 'utf8'), 'kept');
    assert.deepEqual(fs.readdirSync(dir).sort(), ['fifo', 'link', 'plain.json', 'pointee']);
  });

  it('fails with status 3 when the input cannot be read or --out cannot be written', async () => {
    const dir = scratch();
    const missing = await cli(['encode', path.join(dir, 'missing.json')]);
    assert.equal(missing.status, 3);
    assert.match(missing.stderr, /^header-validator encode: cannot read .*ENOENT/);

    const input = writePlain(dir, fullPlainTable(['example.com']));
    const intoDirectory = await cli(['encode', input, '--out', dir]);
    assert.equal(intoDirectory.status, 3);
    assert.match(intoDirectory.stderr, /^header-validator encode: cannot write/);
    assert.deepEqual(fs.readdirSync(dir), ['plain.json']);
  });

  it('exits with status 2 on usage errors', async () => {
    const dir = scratch();
    const input = writePlain(dir, fullPlainTable(['example.com']));
    for (const args of [[], [input, input], [input, '--bogus'], [input, '--out'], [input, '--out', '']]) {
      const result = await cli(['encode', ...args]);
      assert.equal(result.status, 2, `status for ${JSON.stringify(args.map((a) => path.basename(a)))}`);
      assert.match(result.stderr, /^header-validator encode: [^\n]+\nusage: /);
      assert.equal(result.stdout, '');
    }
    const help = await cli(['encode', '--help']);
    assert.equal(help.status, 0);
    assert.match(help.stdout, /^usage: /);
  });
});
