'use strict';

// The table encoder: plain token file in, the table the build compiles in out.
// The command line's `encode` is its only front end.
//
// What it throws, by whose fault:
// - the input file's: a HeaderValidatorError with code
//   ERR_HEADER_VALIDATOR_TABLE_REFUSED whose `problems` lists every fault;
// - the caller's (arguments to encodeToken or encodeTable): a TypeError for a
//   value of the wrong kind, a RangeError for one out of range, as Node.js's
//   APIs do;
// - the installation's (a file the package ships, such as the table format,
//   missing or broken): a HeaderValidatorError with code
//   ERR_HEADER_VALIDATOR_LOAD naming the file (format.js);
// - writing the table (writeTableFile): the file system's error, or an Error
//   saying why an existing target that is not a regular file is left alone;
// - reading a vocabulary file (readVocabularyFile): the file system's error,
//   or the refusal above with one problem naming the file.

const { encodeToken } = require('./token');
const { encodeTable, formatTable } = require('./table');
const { writeTableFile, TABLE_FILE_MODE } = require('./write-table-file');
const { readVocabularyFile } = require('./vocabulary');
const { REFUSED } = require('./refusals');

module.exports = {
  encodeToken,
  encodeTable,
  formatTable,
  readVocabularyFile,
  writeTableFile,
  TABLE_FILE_MODE,
  REFUSED,
};
