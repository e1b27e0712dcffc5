'use strict';

// Every command of the command line by name, in the order help lists them.
// Each file describes its command: usage, about, exits, options, positionals
// and run(positionals, values, io), which returns the exit status.

const { helpCommand } = require('./help');

const commands = {
  generate: require('./generate'),
  validate: require('./validate'),
  list: require('./list'),
  rotation: require('./rotation'),
  encode: require('./encode'),
  demo: require('./demo'),
};
commands.help = helpCommand(commands);

module.exports = Object.freeze(commands);
