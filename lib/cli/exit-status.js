'use strict';

// The command line's exit statuses, and how an error that ends a command
// becomes one line on standard error: no stack trace, and nothing but the
// message (this package's messages never quote a token or an auth code).

const { getSystemErrorMap } = require('node:util');
const { escapeLineBreaking } = require('../printable-name');

const EXIT = Object.freeze({
  OK: 0, // done; `validate`: the code is valid
  NO: 1, // a "no" answer: invalid, no token for the combination, an input file the encoder refuses
  USAGE: 2,
  ERROR: 3, // the job could not be done: I/O, a module that cannot load or refuses to run, anything unexpected
});

const MAX_LINE_LENGTH = 1000;

/**
 * Text made safe to print as (part of) one line: controls, line and paragraph
 * separators and bidirectional controls escaped as the module escapes them in
 * names, and a very long text cut.
 */
function oneLine(text) {
  const escaped = escapeLineBreaking(text);
  return escaped.length > MAX_LINE_LENGTH ? `${escaped.slice(0, MAX_LINE_LENGTH)}...` : escaped;
}

/** "illegal operation on a directory (EISDIR)" for a failed system call. */
function systemErrorText(err) {
  const [code, description] = (typeof err?.errno === 'number' && getSystemErrorMap().get(err.errno)) || [];
  if (description) return `${description} (${code})`;
  return String(err?.message ?? err).split('\n')[0];
}

/** What an error that ended a command says, without the program's name. */
function errorLine(err) {
  // This package's own errors say what is wrong and what to do.
  if (/^ERR_HEADER_VALIDATOR_/.test(err?.code ?? '')) return String(err.message).replace(/^header-validator: /, '');
  if (typeof err?.errno === 'number' && err.syscall) return `unexpected error: ${systemErrorText(err)}`;
  const what = err instanceof Error ? `${err.name}: ${err.message}` : String(err);
  return `unexpected error: ${what.split('\n')[0]}`;
}

module.exports = { EXIT, oneLine, systemErrorText, errorLine };
