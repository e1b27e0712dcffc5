#!/usr/bin/env node
'use strict';

const { main } = require('../lib/cli/main');

main(process.argv.slice(2)).then((status) => {
  process.exitCode = status;
});
