'use strict';

// Reads a plain token file's text into a syntax tree that keeps each name's
// line. Text that is not UTF-8 or not JSON is refused with its line, column
// and the names around the fault, never with a quote of the text: the fault
// may sit inside a token.

const momoa = require('@humanwhocodes/momoa');
const { showPath } = require('./leaf-path');
const { refusal } = require('./refusals');

function lineColumn(text, offset) {
  const before = text.slice(0, offset);
  const line = before.split('\n').length;
  return { line, column: offset - before.lastIndexOf('\n') };
}

/**
 * The object-key path enclosing a character offset, found by a light scan that
 * also works on text the parsers reject.
 */
function pathAt(text, offset) {
  const stack = [];
  let pendingKey;
  for (let i = 0; i < text.length && i < offset; i++) {
    const top = stack[stack.length - 1];
    const c = text[i];
    if (c === '"') {
      let j = i + 1;
      while (j < text.length && text[j] !== '"') j += text[j] === '\\' ? 2 : 1;
      if (top?.isObject && top.expectKey) {
        try {
          pendingKey = JSON.parse(text.slice(i, j + 1));
        } catch {
          pendingKey = text.slice(i + 1, j);
        }
      }
      if (offset <= j) break;
      i = j;
    } else if (c === '{' || c === '[') {
      stack.push({ isObject: c === '{', expectKey: c === '{', key: undefined });
    } else if (c === '}' || c === ']') {
      stack.pop();
    } else if (c === ':' && top?.isObject) {
      top.key = pendingKey;
      top.expectKey = false;
    } else if (c === ',' && top?.isObject) {
      top.key = undefined;
      top.expectKey = true;
    }
  }
  return stack.filter((f) => f.isObject && f.key !== undefined).map((f) => f.key);
}

function locate(text, offset) {
  const { line, column } = lineColumn(text, offset);
  const names = pathAt(text, offset);
  return `line ${line}, column ${column}${names.length ? ` (in ${showPath(names)})` : ''}`;
}

function decodeUtf8(bytes) {
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(bytes);
  } catch {
    // Find the first bad byte: a streamed decode tolerates only an unfinished
    // sequence at the end, so failing prefixes are exactly the long ones.
    let lo = 1;
    let hi = bytes.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      try {
        new TextDecoder('utf-8', { fatal: true }).decode(bytes.subarray(0, mid), { stream: true });
        lo = mid + 1;
      } catch {
        hi = mid;
      }
    }
    const lenient = new TextDecoder('utf-8').decode(bytes);
    const offset = new TextDecoder('utf-8').decode(bytes.subarray(0, lo - 1)).length;
    throw refusal([`input is not valid UTF-8 text: bad byte at ${locate(lenient, offset)}`]);
  }
}

function parseJson(text) {
  // JSON.parse is the strict judge (it refuses raw control characters that the
  // AST parser lets through); its message can quote the input, so only its
  // position is used, and it is not kept as the cause.
  try {
    JSON.parse(text);
  } catch (err) {
    if (text.trim() === '') throw refusal(['input is empty: expected a JSON object of hosts']);
    let offset = Number(/at position (\d+)/.exec(err.message)?.[1] ?? NaN);
    if (Number.isNaN(offset)) {
      try {
        momoa.parse(text);
        offset = text.length;
      } catch (astErr) {
        offset = Number.isInteger(astErr.offset) ? astErr.offset : text.length;
      }
    }
    throw refusal([`input is not valid JSON: error at ${locate(text, offset)}`]);
  }
  return momoa.parse(text, { mode: 'json' });
}

/**
 * The syntax tree of a plain token file's text.
 * @param {Buffer|Uint8Array|string} input
 */
function parsePlainJson(input) {
  let text;
  if (typeof input === 'string') text = input.replace(/^\uFEFF/, '');
  else if (input instanceof Uint8Array) text = decodeUtf8(input);
  else throw new TypeError('plainJsonText must be a string or a Buffer');
  return parseJson(text).body;
}

module.exports = { parsePlainJson };
