'use strict';

// The header-validator command line: one function per command, parsed with
// node:util parseArgs. Exit status: 0 done, 1 refused or failed, 2 usage.

const fs = require('node:fs');
const { parseArgs } = require('node:util');
const { printableName } = require('../printable-name');

const PROGRAM = 'header-validator';

// The package entry is loaded only by the commands that need the module, so
// that `encode` works before anything has been built. `list` reads the manifest
// alone: it must still show a table that the entry refuses to run with.
const api = () => require('../index');

// Errors that are the user's to fix, printed as their one-line message.
const REPORTED_CODES = new Set(['ERR_HEADER_VALIDATOR_LOAD', 'ERR_HEADER_VALIDATOR_DEMO_TABLE']);

const COMMANDS = {
  generate: {
    usage: 'generate <platform> <userType> <host>',
    about: 'Prints a fresh auth code for the combination (bcrypt, cost 12).',
    positionals: 3,
    run: generate,
  },
  validate: {
    usage: 'validate <auth_code|-> <platform> <userType> <host>',
    about:
      'Prints `valid` (exit 0) or `invalid` (exit 1). With `-`, the code is read from standard input,\nwhich keeps ' +
      'it out of the process list.',
    positionals: 4,
    run: validate,
  },
  list: {
    usage: 'list [--json]',
    about:
      "Prints the build's table: its SHA-256 fingerprint, whether it is the public demo table, and " +
      'its\nhost/platform/userType combinations. Never a token.',
    options: { json: { type: 'boolean' } },
    positionals: 0,
    run: list,
  },
  encode: {
    usage: 'encode <plain.json> [--out table.json] [--allow-demo-tokens] [--allow-shared-tokens]',
    about:
      'Encodes a plain token file (host -> platform -> userType -> token) into the table the build compiles in;\n' +
      'then build with HEADER_VALIDATOR_TABLE=/abs/table.json npm run build. Keep the plain file out of git.\n' +
      'Refuses the public demo tokens and one token used for several combinations, naming the combinations.\n\n' +
      '  --out <file>           write the table to this file, mode 0600; an existing one must be a regular file\n' +
      '  --allow-demo-tokens    accept the public demo tokens (only to encode the demo table itself)\n' +
      '  --allow-shared-tokens  accept one token for several combinations',
    options: {
      out: { type: 'string', short: 'o' },
      'allow-demo-tokens': { type: 'boolean' },
      'allow-shared-tokens': { type: 'boolean' },
    },
    positionals: 1,
    run: encode,
  },
  demo: {
    usage: 'demo',
    about:
      'Starts a server with the middleware on a free loopback port, sends it a valid, a tampered and ' +
      'an\nunknown-combination request, prints what came back, and stops.',
    positionals: 0,
    run: (_positionals, _values, io) => require('./demo').demo(io),
  },
};

const OVERVIEW = `usage: ${PROGRAM} <${Object.keys(COMMANDS).join('|')}> [arguments] [--help]`;

function generate([platform, userType, host], _values, io) {
  const code = api().generateAuthCode(platform, userType, host);
  if (code === null) {
    // The names come from the command line, possibly from a request: print them safely.
    const [p, u, h] = [platform, userType, host].map(printableName);
    io.stderr.write(`${PROGRAM}: this build has no token for platform '${p}', user type '${u}' at host '${h}'\n`);
    return 1;
  }
  io.stdout.write(`${code}\n`);
  return 0;
}

function validate([authCode, platform, userType, host], _values, io) {
  const code = authCode === '-' ? fs.readFileSync(0, 'utf8').replace(/\r?\n$/, '') : authCode;
  const valid = api().validateRequest(code, platform, userType, host);
  io.stdout.write(valid ? 'valid\n' : 'invalid\n');
  return valid ? 0 : 1;
}

function list(_positionals, values, io) {
  const info = require('../table-info').tableInfo();
  if (values.json) {
    io.stdout.write(`${JSON.stringify(info, null, 2)}\n`);
    return 0;
  }
  const lines = [
    `fingerprint: sha256:${info.sha256}`,
    `demo table: ${info.demo ? 'yes (public tokens: never deploy this build)' : 'no'}`,
    ...(!info.demo && info.demoTokens
      ? [`public demo tokens: ${info.demoTokens} (anyone can make codes for them: never deploy this build)`]
      : []),
    ...(info.undecodable ? [`undecodable combinations: ${info.undecodable} (every code for them is refused)`] : []),
    `combinations: ${info.combinations.length}`,
    ...info.combinations.map(({ host, platform, userType }) => `${host} ${platform} ${userType}`),
  ];
  io.stdout.write(`${lines.join('\n')}\n`);
  return 0;
}

function encode([input], values) {
  const { main: encodeTable } = require('../../tools/encode-table');
  return encodeTable([
    input,
    ...(values.out === undefined ? [] : ['--out', values.out]),
    ...(values['allow-demo-tokens'] ? ['--allow-demo-tokens'] : []),
    ...(values['allow-shared-tokens'] ? ['--allow-shared-tokens'] : []),
  ]);
}

function usageError(io, problem, usage) {
  io.stderr.write(`${PROGRAM}: ${problem}\nusage: ${PROGRAM} ${usage}\n`);
  return 2;
}

/**
 * @param {string[]} argv arguments after the program name
 * @param {{stdout: NodeJS.WritableStream, stderr: NodeJS.WritableStream}} [io]
 * @returns {Promise<number>} the exit status
 */
async function main(argv, io = process) {
  const [name, ...rest] = argv;
  if (name === '--help' || name === '-h') {
    io.stdout.write(
      `${OVERVIEW}\n\n${Object.values(COMMANDS)
        .map((c) => `  ${PROGRAM} ${c.usage}`)
        .join('\n')}\n`,
    );
    return 0;
  }
  const command = Object.hasOwn(COMMANDS, name ?? '') ? COMMANDS[name] : undefined;
  if (!command) {
    const problem = name === undefined ? 'no command given' : `unknown command ${JSON.stringify(name)}`;
    io.stderr.write(`${PROGRAM}: ${problem}\n${OVERVIEW}\n`);
    return 2;
  }

  let parsed;
  try {
    parsed = parseArgs({
      args: rest,
      allowPositionals: true,
      options: { ...command.options, help: { type: 'boolean', short: 'h' } },
    });
  } catch (err) {
    return usageError(io, err.message, command.usage);
  }
  const { values, positionals } = parsed;
  if (values.help) {
    io.stdout.write(`usage: ${PROGRAM} ${command.usage}\n\n${command.about}\n`);
    return 0;
  }
  if (positionals.length !== command.positionals) {
    return usageError(
      io,
      `${name} takes ${command.positionals} argument${command.positionals === 1 ? '' : 's'}, got ${positionals.length}`,
      command.usage,
    );
  }

  try {
    return await command.run(positionals, values, io);
  } catch (err) {
    if (!REPORTED_CODES.has(err?.code)) throw err;
    io.stderr.write(`${err.message}\n`);
    return 1;
  }
}

module.exports = { main };
