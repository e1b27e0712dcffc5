#!/usr/bin/env node
'use strict';

const { main } = require('../lib/cli/main');
const { EXIT, oneLine, errorLine } = require('../lib/cli/exit-status');

// What escapes a command (an error event on a closed standard output, say) is
// still one line and an error status, never a stack trace.
process.on('uncaughtException', (err) => {
  const line =
    err?.code === 'EPIPE'
      ? 'standard output was closed before everything was written (EPIPE)'
      : oneLine(errorLine(err));
  process.stderr.write(`header-validator: ${line}\n`);
  process.exit(EXIT.ERROR);
});

main(process.argv.slice(2)).then((status) => {
  process.exitCode = status;
});
