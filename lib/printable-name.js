'use strict';

// Names from requests or the command line, made safe to print on one line:
// the same rules as the native module's log lines, so that both print a name
// alike. Control characters and the quote become \xHH, the backslash \\, the C1
// controls, line and paragraph separators and bidirectional controls \uHHHH,
// and a name is cut after 256 UTF-8 bytes on a character boundary.

const PRINTED_NAME_LIMIT = 256;

const hex = (value, digits) => value.toString(16).toUpperCase().padStart(digits, '0');

// Characters that would end, forge or reorder a line: C0 controls, DEL, C1
// controls, the line and paragraph separators and the bidirectional controls.
const LINE_BREAKING = '[\\x00-\\x1f\\x7f-\\x9f\\u061c\\u200e\\u200f\\u2028-\\u202e\\u2066-\\u2069]';
const IS_LINE_BREAKING = new RegExp(`^${LINE_BREAKING}$`);
const ALL_LINE_BREAKING = new RegExp(LINE_BREAKING, 'g');

// \xHH for a C0 control or DEL, \uHHHH for the others.
function escapeLineBreakingChar(char) {
  const code = char.charCodeAt(0);
  return code < 0x20 || code === 0x7f ? `\\x${hex(code, 2)}` : `\\u${hex(code, 4)}`;
}

function escapeCodePoint(code) {
  if (code === 0x27) return '\\x27';
  if (code === 0x5c) return '\\\\';
  const char = String.fromCodePoint(code);
  return IS_LINE_BREAKING.test(char) ? escapeLineBreakingChar(char) : undefined;
}

/** Text of any length with the line-breaking characters escaped as in names; nothing else changed or cut. */
const escapeLineBreaking = (text) => String(text).replace(ALL_LINE_BREAKING, escapeLineBreakingChar);

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

module.exports = { printableName, escapeLineBreaking, PRINTED_NAME_LIMIT };
