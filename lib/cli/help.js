'use strict';

// The command line's help text: the overview of every command with the exit
// statuses, and one command's description. Each command describes itself
// (commands/*.js); this file lays the descriptions out.

const PROGRAM = 'header-validator';

// For the commands whose arguments a script may take from a request.
const afterDashes = (example) =>
  `\n\nPut \`--\` before the arguments when one may begin with a dash: everything after it is a value\n` +
  `(\`${PROGRAM} ${example}\`). \`-h\` and \`--help\`\ndescribe the command only when given alone.`;

const EXIT_STATUSES = `exit status:
  0  done: the code is valid, printed or listed, the table written
  1  a "no" answer: the code is invalid, this build has no token for the combination, the encoder refuses
     the input file, a demo request was not answered as expected
  2  usage error: no or an unknown command, an unknown option, the wrong number of arguments, -h or --help
     among other arguments
  3  error, the job could not be done: a file cannot be read or written, the module cannot load or refuses
     to run, anything unexpected`;

/** What follows the program's name: `<generate|...> [arguments] [--help]`. */
const commandLine = (commands) => `<${Object.keys(commands).join('|')}> [arguments] [--help]`;

const overviewUsage = (commands) => `usage: ${PROGRAM} ${commandLine(commands)}`;

/** Every command's usage line, then the exit statuses. */
function overview(commands) {
  return (
    `${overviewUsage(commands)}\n       ${PROGRAM} --version\n\n` +
    `${Object.values(commands)
      .map((c) => `  ${PROGRAM} ${c.usage}`)
      .join('\n')}\n\n` +
    `\`${PROGRAM} help <command>\` describes one command.\n\n${EXIT_STATUSES}\n`
  );
}

/** One command's usage, what it does and its exit statuses. */
function describe(command) {
  return (
    `usage: ${PROGRAM} ${command.usage}\n\n${command.about}\n\n` +
    `exit status: ${command.exits}, 2 usage error, 3 error (see \`${PROGRAM} help\`)\n`
  );
}

module.exports = { PROGRAM, afterDashes, commandLine, overviewUsage, overview, describe };
