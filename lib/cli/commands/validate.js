'use strict';

// `header-validator validate`: prints whether an auth code is valid for a
// combination, the code taken from the arguments or from standard input, as a
// server's validator would answer it.

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

// The check a server's validator makes (during a token rotation, against the
// previous token too), on one pool thread, without a cache.
async function check(code, platform, userType, host) {
  const validator = api().createValidator({ threads: 1, cache: false });
  const { CHECK } = require('../../validator');
  try {
    return await validator[CHECK](code, platform, userType, host);
  } finally {
    await validator.close();
  }
}

async function validate([authCode, platform, userType, host], _values, io) {
  let code = authCode;
  if (authCode === '-') {
    try {
      code = readStandardInput().replace(/\r?\n$/, '');
    } catch (err) {
      io.report(`cannot read the auth code from standard input: ${systemErrorText(err)}`);
      return EXIT.ERROR;
    }
  }
  const answer = await check(code, platform, userType, host);
  if (answer.error !== undefined) throw answer.error;
  io.stdout.write(answer.valid ? 'valid\n' : 'invalid\n');
  if (answer.token === 'previous') {
    io.report(
      `the code matched the previous token of this combination, valid until ${api().tableInfo().previous.until}: ` +
        'its client should update',
    );
  }
  return answer.valid ? EXIT.OK : EXIT.NO;
}

module.exports = {
  usage: 'validate <auth_code|-> <platform> <userType> <host>',
  about:
    'Prints `valid` or `invalid`. With `-`, the code is read from standard input, which keeps it out of the ' +
    'process\nlist. During a token rotation a code of the previous token is valid until the end of the ' +
    'overlap, as on a\nserver, and says so on standard error; HEADER_VALIDATOR_PREVIOUS=off refuses it.' +
    afterDashes('validate -- "$code" "$platform" "$userType" "$host"'),
  exits: '0 valid, 1 invalid',
  positionals: 4,
  run: validate,
};
