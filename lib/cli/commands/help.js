'use strict';

// `header-validator help [command]`: describes every command, or the one named.

const { EXIT } = require('../exit-status');
const { PROGRAM, overview, describe } = require('../help');

/** The help command over `commands`, which it joins once registered there. */
function helpCommand(commands) {
  return {
    usage: 'help [command]',
    about: 'Describes every command, or the one named.',
    exits: '0 described',
    positionals: [0, 1],
    run([name], _values, io) {
      if (name !== undefined && !Object.hasOwn(commands, name)) {
        io.report(`unknown command ${JSON.stringify(name)}`);
        io.stderr.write(`usage: ${PROGRAM} ${commands.help.usage}\n`);
        return EXIT.USAGE;
      }
      io.stdout.write(name === undefined ? overview(commands) : describe(commands[name]));
      return EXIT.OK;
    },
  };
}

module.exports = { helpCommand };
