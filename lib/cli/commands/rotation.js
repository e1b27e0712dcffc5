'use strict';

// `header-validator rotation`: the token rotation as this process sees it:
// the build's previous table, whether its codes are valid now, and per rotated
// combination when one last validated here. A command line process checks
// nothing, so it only ever shows `never`: a server's own rotation() is what
// tells when its old clients are gone.

const { EXIT } = require('../exit-status');

const api = () => require('../../index');

const ONLY_HERE =
  'last valid code of each previous token, in this process only (a server keeps its own: read its rotation())';

function whyNot(status) {
  if (status.retired) return 'no: retired early (HEADER_VALIDATOR_PREVIOUS=off)';
  return `no: the overlap ended at ${status.until}`;
}

function rotation(_positionals, values, io) {
  const status = api().rotation();
  if (values.json) {
    io.stdout.write(`${JSON.stringify(status, null, 2)}\n`);
    return EXIT.OK;
  }
  if (status.until === null) {
    io.stdout.write('previous table: none (every code is checked against the current table alone)\n');
    return EXIT.OK;
  }
  const lines = [
    `previous table: sha256:${api().tableInfo().previous.sha256}, until ${status.until}`,
    `codes of previous tokens valid now: ${status.accepted ? 'yes' : whyNot(status)}`,
    `${ONLY_HERE}:`,
    ...status.combinations.map(
      ({ host, platform, userType, lastValidAt }) => `${host} ${platform} ${userType}: ${lastValidAt ?? 'never'}`,
    ),
  ];
  io.stdout.write(`${lines.join('\n')}\n`);
  return EXIT.OK;
}

module.exports = {
  usage: 'rotation [--json]',
  about:
    "Prints the token rotation as this process sees it: the build's previous table and the end of its\n" +
    'overlap, whether codes of previous tokens are valid now (HEADER_VALIDATOR_PREVIOUS=off retires them),\n' +
    'and for each rotated combination when a code of its previous token last validated. This process\n' +
    'checks no requests, so it shows `never`: each server keeps its own record, read there with rotation().',
  exits: '0 printed',
  options: { json: { type: 'boolean' } },
  positionals: 0,
  run: rotation,
};
