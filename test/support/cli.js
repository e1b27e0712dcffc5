'use strict';

// The header-validator command, run as a real process from the package root.

const path = require('node:path');
const { runNode } = require('./child.js');
const { ROOT } = require('./module.js');

const BIN = path.join(ROOT, 'bin', 'header-validator.js');
const cli = (args, options) => runNode([BIN, ...args], options);

module.exports = { BIN, cli };
