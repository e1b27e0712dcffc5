'use strict';

// The header-validator command line's dispatcher: finds the command (one file
// each in commands/), parses its arguments with node:util parseArgs, checks
// their count and that -h or --help comes alone, and turns what ends a command
// into its exit status. Exit statuses are in exit-status.js: 0 done (or
// valid), 1 a "no" answer, 2 usage, 3 error. Whatever ends a command early is
// one line on standard error, prefixed with the program and the command.

const { parseArgs } = require('node:util');
const { EXIT, oneLine, errorLine } = require('./exit-status');
const { PROGRAM, commandLine, overviewUsage, describe } = require('./help');
const COMMANDS = require('./commands');

// Options in place of a command, each only ever given alone.
const TOP_LEVEL_OPTIONS = new Set(['--help', '-h', '--version']);

const COMMAND_LINE = commandLine(COMMANDS);
const OVERVIEW_USAGE = overviewUsage(COMMANDS);

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
  if (name === '--help' || name === '-h') return COMMANDS.help.run([], {}, programIo);
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
