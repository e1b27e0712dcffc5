'use strict';

// `header-validator validate`: prints whether an auth code is valid for a
// combination, the code taken from the arguments or from standard input.

const fs = require('node:fs');
const { EXIT, systemErrorText } = require('../exit-status');
const { afterDashes } = require('../help');

// The package entry is loaded by the command, not with the command line, so
// that `encode` works before anything has been built.
const api = () => require('../../index');

// An auth code is 60 characters: standard input is read no further than this,
// whatever is piped in.
const STDIN_LIMIT = 4096;

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

module.exports = {
  usage: 'validate <auth_code|-> <platform> <userType> <host>',
  about:
    'Prints `valid` or `invalid`. With `-`, the code is read from standard input, which keeps it out of the ' +
    'process\nlist.' +
    afterDashes('validate -- "$code" "$platform" "$userType" "$host"'),
  exits: '0 valid, 1 invalid',
  positionals: 4,
  run: validate,
};
