'use strict';

// Reads a JSON file that the package ships (the encoder's table format and the
// demo tokens' digests). Every way such a file can be broken (missing,
// unreadable, not JSON, not the shape shipped) is one kind of error:
// ERR_HEADER_VALIDATOR_LOAD, naming the file, never a fault of the input.

const fs = require('node:fs');
const path = require('node:path');
const { packageFile } = require('../errors');

const shown = (file) => path.relative(process.cwd(), file) || file;

function readPackageJson(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw packageFile(shown(file), err.code === 'ENOENT' ? 'it is missing' : `it cannot be read (${err.code})`, err);
  }
  try {
    return JSON.parse(text);
  } catch (err) {
    throw packageFile(shown(file), 'it is not valid JSON', err);
  }
}

/** The error for a package file that parsed but is not the shape shipped. */
const brokenPackageFile = (file, problem) => packageFile(shown(file), problem);

module.exports = { readPackageJson, brokenPackageFile };
