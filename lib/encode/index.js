'use strict';

// The table encoder: plain token file in, the table the build compiles in out.
// The command line's `encode` is its only front end.

const { encodeToken } = require('./token');
const { encodeTable, formatTable } = require('./table');
const { writeTableFile, TABLE_FILE_MODE } = require('./write-table-file');
const { REFUSED } = require('./refusals');

module.exports = { encodeToken, encodeTable, formatTable, writeTableFile, TABLE_FILE_MODE, REFUSED };
