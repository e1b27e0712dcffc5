'use strict';

// Names from requests or the command line, made safe to print on one line:
// the same rules as the native module's log lines, so that both print a name
// alike. Control characters and the quote become \xHH, the backslash \\, the C1
// controls, line and paragraph separators and bidirectional controls \uHHHH,
// and a name is cut after 256 UTF-8 bytes on a character boundary.

const PRINTED_NAME_LIMIT = 256;

const hex = (value, digits) => value.toString(16).toUpperCase().padStart(digits, '0');

function escapeCodePoint(code) {
  if (code < 0x20 || code === 0x7f || code === 0x27) return `\\x${hex(code, 2)}`;
  if (code === 0x5c) return '\\\\';
  const unicode =
    (code >= 0x80 && code <= 0x9f) ||
    code === 0x061c ||
    code === 0x200e ||
    code === 0x200f ||
    (code >= 0x2028 && code <= 0x202e) ||
    (code >= 0x2066 && code <= 0x2069);
  return unicode ? `\\u${hex(code, 4)}` : undefined;
}

function utf8Length(code) {
  if (code < 0x80) return 1;
  if (code < 0x800) return 2;
  return code < 0x10000 ? 3 : 4;
}

/**
 * @param {string} name
 * @returns {string}
 */
function printableName(name) {
  let out = '';
  let shown = 0;
  let total = 0;
  for (const char of name) {
    let code = char.codePointAt(0);
    // A lone surrogate reaches UTF-8 as the replacement character.
    if (code >= 0xd800 && code <= 0xdfff) code = 0xfffd;
    const bytes = utf8Length(code);
    if (shown === total && total + bytes <= PRINTED_NAME_LIMIT) {
      out += escapeCodePoint(code) ?? String.fromCodePoint(code);
      shown += bytes;
    }
    total += bytes;
  }
  return shown < total ? `${out}...(+${total - shown} bytes)` : out;
}

module.exports = { printableName, PRINTED_NAME_LIMIT };
