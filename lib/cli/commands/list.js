'use strict';

// `header-validator list`: the build's table as its manifest describes it,
// as text or JSON; never a token.

const { EXIT } = require('../exit-status');

// The manifest alone, not the package entry: `list` must still show a table
// that the entry refuses to run with.
function list(_positionals, values, io) {
  const { tableInfo, isRotated } = require('../../table-info');
  const info = tableInfo();
  if (values.json) {
    io.stdout.write(`${JSON.stringify(info, null, 2)}\n`);
    return EXIT.OK;
  }
  const { previous } = info;
  const lines = [
    `fingerprint: sha256:${info.sha256}`,
    ...(previous
      ? [
          `previous table: sha256:${previous.sha256}, verifies rotated combinations until ${previous.until}`,
          `previous table changes: ${previous.rotated} rotated, ${previous.unchanged} unchanged, ` +
            `${previous.added} added, ${previous.removed} removed (refused)`,
        ]
      : []),
    `demo table: ${info.demo ? 'yes (public tokens: never deploy this build)' : 'no'}`,
    ...(!info.demo && info.demoTokens
      ? [`public demo tokens: ${info.demoTokens} (anyone can make codes for them: never deploy this build)`]
      : []),
    ...(previous?.demoTokens
      ? [`previous table public demo tokens: ${previous.demoTokens} (never deploy this build)`]
      : []),
    ...(info.undecodable ? [`undecodable combinations: ${info.undecodable} (every code for them is refused)`] : []),
    `combinations: ${info.combinations.length}`,
    ...info.combinations.map(
      ({ host, platform, userType }) =>
        `${host} ${platform} ${userType}${isRotated(host, platform, userType) ? ' (rotated)' : ''}`,
    ),
  ];
  io.stdout.write(`${lines.join('\n')}\n`);
  return EXIT.OK;
}

module.exports = {
  usage: 'list [--json]',
  about:
    "Prints the build's table: its SHA-256 fingerprint, whether it is the public demo table, and " +
    'its\nhost/platform/userType combinations; with a previous table, its fingerprint, until when it\n' +
    'verifies and which combinations it rotates. Never a token.',
  exits: '0 listed',
  options: { json: { type: 'boolean' } },
  positionals: 0,
  run: list,
};
