'use strict';

// The header-validator command, run as a real process: generate, validate,
// list, demo and help, their refusals under NODE_ENV=production, usage errors
// and exit statuses. The encode command is tested in cli-encode.test.js.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { tableInfo } = require('../../lib');
const { demoCode, tamper } = require('../support/codes.js');
const { allTokens, ROOT } = require('../support/module.js');
const { BIN, cli } = require('../support/cli.js');
const { PRODUCTION } = require('../support/production.js');

const STORE = ['ANDROID', 'STORE', 'example.com'];

describe('generate and validate', () => {
  it('generate prints a fresh code that validate accepts', async () => {
    const generated = await cli(['generate', ...STORE]);
    assert.equal(generated.status, 0);
    assert.match(generated.stdout, /^\$2a\$12\$[./A-Za-z0-9]{53}\n$/);
    const code = generated.stdout.trim();
    const checked = await cli(['validate', code, ...STORE]);
    assert.deepEqual([checked.status, checked.stdout], [0, 'valid\n']);
  });

  it('generate refuses an unknown combination with exit 1, escaping names as the module does', async () => {
    const { status, stdout, stderr } = await cli(['generate', 'WEB', 'KIOSK', 'example.com']);
    assert.equal(status, 1);
    assert.equal(stdout, '');
    assert.match(stderr, /no token for platform 'WEB', user type 'KIOSK' at host 'example\.com'/);

    // Names that would forge a line, fake a quote or turn the text around; 35
    // bytes, then 110 two-byte characters up to the 256-byte cut.
    const host = `a\u0085UserType 'ADMIN' not found\u2028\u202e${'\u00e9'.repeat(200)}`;
    const forged = await cli(['generate', 'WEB', 'USER', host]);
    const shown = `a\\u0085UserType \\x27ADMIN\\x27 not found\\u2028\\u202E${'\u00e9'.repeat(110)}...(+180 bytes)`;
    assert.deepEqual(forged.stderr.split('\n'), [
      `Host '${shown}' not found in verificationTokenData`,
      `header-validator generate: this build has no token for platform 'WEB', user type 'USER' at host '${shown}'`,
      '',
    ]);
  });

  it('validate prints valid or invalid, with exit 0 or 1', async () => {
    const code = demoCode(...STORE);
    const cases = [
      [[code, ...STORE], 0, 'valid\n'],
      [[tamper(code), ...STORE], 1, 'invalid\n'],
      [[code, 'IOS', 'STORE', 'example.com'], 1, 'invalid\n'],
      [['not-a-code', ...STORE], 1, 'invalid\n'],
    ];
    for (const [args, status, stdout] of cases) {
      const result = await cli(['validate', ...args]);
      assert.deepEqual([result.status, result.stdout], [status, stdout]);
    }
  });

  it('validate reads the code from standard input when given -', async () => {
    const code = demoCode(...STORE);
    const valid = await cli(['validate', '-', ...STORE], { input: `${code}\n` });
    assert.deepEqual([valid.status, valid.stdout], [0, 'valid\n']);
    const invalid = await cli(['validate', '-', ...STORE], { input: tamper(code) });
    assert.deepEqual([invalid.status, invalid.stdout], [1, 'invalid\n']);
  });
});

describe('list', () => {
  it('shows the fingerprint, the demo flag and every combination, never a token', async () => {
    const { status, stdout } = await cli(['list']);
    const info = tableInfo();
    assert.equal(status, 0);
    const lines = stdout.trimEnd().split('\n');
    assert.equal(lines[0], `fingerprint: sha256:${info.sha256}`);
    assert.match(lines[1], /^demo table: yes/);
    assert.equal(lines[2], 'combinations: 60');
    assert.deepEqual(
      lines.slice(3).sort(),
      info.combinations.map((c) => `${c.host} ${c.platform} ${c.userType}`).sort(),
    );
    for (const token of allTokens()) assert.ok(!stdout.includes(token), 'list printed a token');
  });

  it('--json prints the table info', async () => {
    const { status, stdout } = await cli(['list', '--json']);
    assert.equal(status, 0);
    assert.deepEqual(JSON.parse(stdout), JSON.parse(JSON.stringify(tableInfo())));
  });
});

describe('under NODE_ENV=production with the demo table', () => {
  it('list still shows the table; generate, validate and demo say why they refuse, in one line, exit 3', async () => {
    const env = PRODUCTION;
    const listed = await cli(['list'], { env });
    assert.equal(listed.status, 0, listed.stderr);
    assert.match(listed.stdout, /^demo table: yes/m);
    for (const args of [['generate', ...STORE], ['validate', demoCode(...STORE), ...STORE], ['demo']]) {
      const { status, stdout, stderr } = await cli(args, { env });
      assert.deepEqual([status, stdout], [3, ''], args[0]);
      assert.match(
        stderr,
        new RegExp(
          `^header-validator ${args[0]}: refusing to run with NODE_ENV=production: [^\\n]+` +
            'ALLOW_DEMO_TOKENS_IN_PRODUCTION=1\\.\\n$',
        ),
      );
    }
  });
});

describe('usage', () => {
  it('exits 2 with a usage line for a missing or unknown command, a wrong count or an unknown option', async () => {
    const cases = [
      [[], /^usage: header-validator <generate\|validate\|list\|rotation\|encode\|demo\|help>/m],
      [['frobnicate'], /unknown command "frobnicate"/],
      [['generate', 'ANDROID', 'STORE'], /^usage: header-validator generate <platform> <userType> <host>$/m],
      [['validate', 'x', 'ANDROID', 'STORE', 'example.com', 'extra'], /^usage: header-validator validate /m],
      [['list', 'all'], /^usage: header-validator list \[--json\]$/m],
      [['encode'], /^usage: header-validator encode <plain\.json> \[--out table\.json\] \[--allow-demo-tokens\]/m],
      [['encode', 'a.json', '--out'], /--out/],
      [['demo', '--port', '80'], /^usage: header-validator demo$/m],
    ];
    for (const [args, message] of cases) {
      const { status, stdout, stderr } = await cli(args);
      assert.equal(status, 2, args.join(' '));
      assert.equal(stdout, '');
      assert.match(stderr, message);
      assert.equal(stderr.split('\n').filter((line) => line.startsWith('usage:')).length, 1);
    }
  });

  it('-h or --help among other arguments is a usage error, never help; after -- it is a value', async () => {
    const cases = [
      ['validate', ['not-a-code', '-h', 'USER', 'example.com'], '-h'],
      ['validate', ['--help', demoCode(...STORE), ...STORE], '--help'],
      ['generate', ['-h', ...STORE], '-h'],
      ['generate', [...STORE, '--help'], '--help'],
    ];
    for (const [command, args, flag] of cases) {
      const { status, stdout, stderr } = await cli([command, ...args]);
      assert.deepEqual([status, stdout], [2, ''], `${command} ${args.join(' ')}`);
      const [problem, usage] = stderr.split('\n');
      assert.match(problem, new RegExp(`^header-validator ${command}: ${flag} is only accepted alone; put -- before`));
      assert.match(usage, new RegExp(`^usage: header-validator ${command} `));
    }
    const overview = await cli(['--help', 'validate']);
    assert.deepEqual([overview.status, overview.stdout], [2, '']);
    assert.match(overview.stderr, /^header-validator: --help takes no other arguments\n/);

    for (const code of ['-abc', '-h']) {
      const checked = await cli(['validate', '--', code, ...STORE]);
      assert.deepEqual([checked.status, checked.stdout, checked.stderr], [1, 'invalid\n', ''], code);
    }
    const generated = await cli(['generate', '--', '-h', 'USER', 'example.com']);
    assert.equal(generated.status, 1);
    assert.match(generated.stderr, /no token for platform '-h', user type 'USER'/);
  });

  it('--help describes each command and exits 0', async () => {
    for (const command of ['generate', 'validate', 'list', 'encode', 'demo']) {
      const { status, stdout } = await cli([command, '--help']);
      assert.equal(status, 0);
      assert.match(stdout, new RegExp(`^usage: header-validator ${command}\\b`));
    }
    const overview = await cli(['--help']);
    assert.equal(overview.status, 0);
    assert.match(overview.stdout, /header-validator encode <plain\.json>/);
  });
});

describe('exit status, --version and help', () => {
  it('an error is status 3 and one line naming the command: validate - reading a directory', () => {
    const fd = fs.openSync(os.tmpdir(), 'r');
    try {
      const { status, stdout, stderr } = spawnSync(process.execPath, [BIN, 'validate', '-', ...STORE], {
        stdio: [fd, 'pipe', 'pipe'],
        encoding: 'utf8',
      });
      assert.deepEqual([status, stdout], [3, '']);
      assert.equal(
        stderr,
        'header-validator validate: cannot read the auth code from standard input: illegal operation on a ' +
          'directory (EISDIR)\n',
      );
    } finally {
      fs.closeSync(fd);
    }
  });

  it('--version prints the package version', async () => {
    const { version } = JSON.parse(fs.readFileSync(path.join(ROOT, 'package.json'), 'utf8'));
    assert.deepEqual(await cli(['--version']), { status: 0, signal: null, stdout: `${version}\n`, stderr: '' });
  });

  it('help gives the overview with every exit status, help <command> describes one', async () => {
    const overview = await cli(['help']);
    assert.equal(overview.status, 0);
    for (const command of ['generate', 'validate', 'list', 'encode', 'demo', 'help']) {
      assert.match(overview.stdout, new RegExp(`^  header-validator ${command}\\b`, 'm'));
    }
    assert.deepEqual(
      [...overview.stdout.matchAll(/^ {2}([0-3]) {2}/gm)].map((m) => m[1]),
      ['0', '1', '2', '3'],
    );
    const described = await cli(['help', 'encode']);
    assert.equal(described.status, 0);
    assert.equal(described.stdout, (await cli(['encode', '--help'])).stdout);
    assert.match(described.stdout, /^exit status: 0 written, 1 the input file is refused, 2 usage error, 3 error/m);
    const unknown = await cli(['help', 'frobnicate']);
    assert.deepEqual([unknown.status, unknown.stdout], [2, '']);
    assert.match(unknown.stderr, /^header-validator help: unknown command "frobnicate"$/m);
  });
});

describe('demo', () => {
  it('runs the round trip against a loopback server and reports each request', async () => {
    const { status, stdout, stderr } = await cli(['demo']);
    assert.equal(status, 0, stderr);
    const lines = stdout.trimEnd().split('\n');
    assert.match(lines[0], /^demo server on http:\/\/127\.0\.0\.1:\d+\/ for host example\.com, demo table/);
    assert.deepEqual(
      lines.slice(1).map((line) => /^ok +GET \/ with .+ -> (\d{3}) \(expected \1\)$/.exec(line)?.[1]),
      ['200', '401', '401'],
    );
    assert.ok(!/\$2[abxy]\$/.test(stdout + stderr), 'the demo printed an auth code');
  });
});
