'use strict';

// The header-validator command line: one function per command, parsed with
// node:util parseArgs. Exit statuses are in exit-status.js: 0 done (or valid),
// 1 a "no" answer, 2 usage, 3 error. Whatever ends a command early is one line
// on standard error, prefixed with the program and the command.

const fs = require('node:fs');
const { parseArgs } = require('node:util');
const { printableName } = require('../printable-name');
const { EXIT, oneLine, systemErrorText, errorLine } = require('./exit-status');

const PROGRAM = 'header-validator';

// The package entry is loaded only by the commands that need the module, so
// that `encode` works before anything has been built. `list` reads the manifest
// alone: it must still show a table that the entry refuses to run with.
const api = () => require('../index');

// An auth code is 60 characters: standard input is read no further than this,
// whatever is piped in.
const STDIN_LIMIT = 4096;

// For the commands whose arguments a script may take from a request.
const AFTER_DASHES = (example) =>
  `\n\nPut \`--\` before the arguments when one may begin with a dash: everything after it is a value\n` +
  `(\`${PROGRAM} ${example}\`). \`-h\` and \`--help\`\ndescribe the command only when given alone.`;

const COMMANDS = {
  generate: {
    usage: 'generate <platform> <userType> <host>',
    about:
      'Prints a fresh auth code for the combination (bcrypt, cost 12).' +
      AFTER_DASHES('generate -- "$platform" "$userType" "$host"'),
    exits: '0 printed, 1 this build has no token for the combination',
    positionals: 3,
    run: generate,
  },
  validate: {
    usage: 'validate <auth_code|-> <platform> <userType> <host>',
    about:
      'Prints `valid` or `invalid`. With `-`, the code is read from standard input, which keeps it out of the ' +
      'process\nlist.' +
      AFTER_DASHES('validate -- "$code" "$platform" "$userType" "$host"'),
    exits: '0 valid, 1 invalid',
    positionals: 4,
    run: validate,
  },
  list: {
    usage: 'list [--json]',
    about:
      "Prints the build's table: its SHA-256 fingerprint, whether it is the public demo table, and " +
      'its\nhost/platform/userType combinations. Never a token.',
    exits: '0 listed',
    options: { json: { type: 'boolean' } },
    positionals: 0,
    run: list,
  },
  encode: {
    usage: 'encode <plain.json> [--out table.json] [--allow-demo-tokens] [--allow-shared-tokens]',
    about:
      'Encodes a plain token file (host -> platform -> userType -> token) into the table the build compiles in;\n' +
      'then build with HEADER_VALIDATOR_TABLE=/abs/table.json npm run build. Keep the plain file out of git.\n' +
      'Refuses the public demo tokens, and one token (or tokens that bcrypt reads as one key) used for several\n' +
      'combinations, naming the combinations; a refused file has every fault listed, never a token. Says what\n' +
      'it wrote on standard error.\n\n' +
      '  --out <file>           write the table to this file, mode 0600; an existing one must be a regular file\n' +
      '  --allow-demo-tokens    accept the public demo tokens (only to encode the demo table itself)\n' +
      '  --allow-shared-tokens  accept one token, or one bcrypt key, for several combinations',
    exits: '0 written, 1 the input file is refused',
    options: {
      out: { type: 'string', short: 'o' },
      'allow-demo-tokens': { type: 'boolean' },
      'allow-shared-tokens': { type: 'boolean' },
    },
    usageProblem: (values) => (values.out === '' ? '--out needs a file name' : ''),
    positionals: 1,
    run: (positionals, values, io) => require('./encode').encode(positionals, values, io),
  },
  demo: {
    usage: 'demo',
    about:
      'Starts a server with the middleware on a free loopback port, sends it a valid, a tampered and ' +
      'an\nunknown-combination request, prints what came back, and stops.',
    exits: '0 every request was answered as expected, 1 one was not',
    positionals: 0,
    run: (_positionals, _values, io) => require('./demo').demo(io),
  },
  help: {
    usage: 'help [command]',
    about: 'Describes every command, or the one named.',
    exits: '0 described',
    positionals: [0, 1],
    run: help,
  },
};

// Options in place of a command, each only ever given alone.
const TOP_LEVEL_OPTIONS = new Set(['--help', '-h', '--version']);

const COMMAND_LINE = `<${Object.keys(COMMANDS).join('|')}> [arguments] [--help]`;
const OVERVIEW_USAGE = `usage: ${PROGRAM} ${COMMAND_LINE}`;

const EXIT_STATUSES = `exit status:
  0  done: the code is valid, printed or listed, the table written
  1  a "no" answer: the code is invalid, this build has no token for the combination, the encoder refuses
     the input file, a demo request was not answered as expected
  2  usage error: no or an unknown command, an unknown option, the wrong number of arguments, -h or --help
     among other arguments
  3  error, the job could not be done: a file cannot be read or written, the module cannot load or refuses
     to run, anything unexpected`;

function overview() {
  return (
    `${OVERVIEW_USAGE}\n       ${PROGRAM} --version\n\n` +
    `${Object.values(COMMANDS)
      .map((c) => `  ${PROGRAM} ${c.usage}`)
      .join('\n')}\n\n` +
    `\`${PROGRAM} help <command>\` describes one command.\n\n${EXIT_STATUSES}\n`
  );
}

function describe(command) {
  return (
    `usage: ${PROGRAM} ${command.usage}\n\n${command.about}\n\n` +
    `exit status: ${command.exits}, 2 usage error, 3 error (see \`${PROGRAM} help\`)\n`
  );
}

function help([name], _values, io) {
  if (name !== undefined && !Object.hasOwn(COMMANDS, name)) {
    io.report(`unknown command ${JSON.stringify(name)}`);
    io.stderr.write(`usage: ${PROGRAM} ${COMMANDS.help.usage}\n`);
    return EXIT.USAGE;
  }
  io.stdout.write(name === undefined ? overview() : describe(COMMANDS[name]));
  return EXIT.OK;
}

function generate([platform, userType, host], _values, io) {
  const code = api().generateAuthCode(platform, userType, host);
  if (code === null) {
    // The names come from the command line, possibly from a request: print them safely.
    const [p, u, h] = [platform, userType, host].map(printableName);
    io.report(`this build has no token for platform '${p}', user type '${u}' at host '${h}'`);
    return EXIT.NO;
  }
  io.stdout.write(`${code}\n`);
  return EXIT.OK;
}

function readStandardInput() {
  const buffer = Buffer.alloc(STDIN_LIMIT + 1);
  let length = 0;
  for (let n = -1; n !== 0 && length < buffer.length; length += n) {
    n = fs.readSync(0, buffer, length, buffer.length - length, null);
  }
  return buffer.toString('utf8', 0, length);
}

function validate([authCode, platform, userType, host], _values, io) {
  let code = authCode;
  if (authCode === '-') {
    try {
      code = readStandardInput().replace(/\r?\n$/, '');
    } catch (err) {
      io.report(`cannot read the auth code from standard input: ${systemErrorText(err)}`);
      return EXIT.ERROR;
    }
  }
  const valid = api().validateRequest(code, platform, userType, host);
  io.stdout.write(valid ? 'valid\n' : 'invalid\n');
  return valid ? EXIT.OK : EXIT.NO;
}

function list(_positionals, values, io) {
  const info = require('../table-info').tableInfo();
  if (values.json) {
    io.stdout.write(`${JSON.stringify(info, null, 2)}\n`);
    return EXIT.OK;
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
  return EXIT.OK;
}

function usageError(io, problem, usage) {
  io.report(problem);
  io.stderr.write(`usage: ${PROGRAM} ${usage}\n`);
  return EXIT.USAGE;
}

function arityProblem(command, count) {
  const [min, max] = Array.isArray(command.positionals)
    ? command.positionals
    : [command.positionals, command.positionals];
  if (count >= min && count <= max) return '';
  const expected = min === max ? `${min}` : min === 0 ? `at most ${max}` : `${min} to ${max}`;
  return `expected ${expected} argument${max === 1 ? '' : 's'}, got ${count}`;
}

// The streams, and `report` for one line of its own on standard error.
function reportingAs(prefix, io) {
  return {
    stdout: io.stdout,
    stderr: io.stderr,
    report: (text) => io.stderr.write(`${prefix}: ${oneLine(text)}\n`),
  };
}

/**
 * @param {string[]} argv arguments after the program name
 * @param {{stdout: NodeJS.WritableStream, stderr: NodeJS.WritableStream}} [io]
 * @returns {Promise<number>} the exit status
 */
async function main(argv, io = process) {
  const [name, ...rest] = argv;
  const programIo = reportingAs(PROGRAM, io);
  if (TOP_LEVEL_OPTIONS.has(name) && rest.length > 0) {
    return usageError(programIo, `${name} takes no other arguments`, COMMAND_LINE);
  }
  if (name === '--help' || name === '-h') return help([], {}, programIo);
  if (name === '--version') {
    io.stdout.write(`${require('../../package.json').version}\n`);
    return EXIT.OK;
  }
  const command = Object.hasOwn(COMMANDS, name ?? '') ? COMMANDS[name] : undefined;
  if (!command) {
    programIo.report(name === undefined ? 'no command given' : `unknown command ${JSON.stringify(name)}`);
    io.stderr.write(`${OVERVIEW_USAGE}\nrun \`${PROGRAM} help\` for every command and exit status\n`);
    return EXIT.USAGE;
  }
  // Every line a command prints on standard error names the command.
  const commandIo = reportingAs(`${PROGRAM} ${name}`, io);

  let parsed;
  try {
    parsed = parseArgs({
      args: rest,
      allowPositionals: true,
      options: { ...command.options, help: { type: 'boolean', short: 'h' } },
      tokens: true,
    });
  } catch (err) {
    return usageError(commandIo, err.message, command.usage);
  }
  const { values, positionals, tokens } = parsed;
  if (values.help) {
    // Exit 0 only for help asked for alone: a script that passes a request's
    // values as arguments must never read a `-h` among them as success.
    if (rest.length === 1) {
      io.stdout.write(describe(command));
      return EXIT.OK;
    }
    const flag = tokens.find((token) => token.kind === 'option' && token.name === 'help').rawName;
    return usageError(
      commandIo,
      `${flag} is only accepted alone; put -- before arguments that begin with a dash`,
      command.usage,
    );
  }
  const problem = arityProblem(command, positionals.length) || command.usageProblem?.(values);
  if (problem) return usageError(commandIo, problem, command.usage);

  try {
    return await command.run(positionals, values, commandIo);
  } catch (err) {
    commandIo.report(errorLine(err));
    return EXIT.ERROR;
  }
}

module.exports = { main };
