'use strict';

// `header-validator generate`: prints a fresh auth code for a combination.

const { printableName } = require('../../printable-name');
const { EXIT } = require('../exit-status');
const { afterDashes } = require('../help');
const { GENERATION_COST } = require('../../auth-code-rules');

// The package entry is loaded by the command, not with the command line, so
// that `encode` works before anything has been built.
const api = () => require('../../index');

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

module.exports = {
  usage: 'generate <platform> <userType> <host>',
  about:
    `Prints a fresh auth code for the combination (bcrypt, cost ${GENERATION_COST}).` +
    afterDashes('generate -- "$platform" "$userType" "$host"'),
  exits: '0 printed, 1 this build has no token for the combination',
  positionals: 3,
  run: generate,
};
