'use strict';

// A team's own platforms and user types, read from a vocabulary file
// ({ "platforms": { "WEB": ["USER"], ... } }) for the encoder's --vocabulary.
// The file is checked as strictly as the build's table check reads it: a
// refusal is one line naming the file and its first fault.

const fs = require('node:fs');
const { loadFormat } = require('./format');
const { parsePlainJson } = require('./parse-json');
const { quote } = require('./leaf-path');
const { REFUSED, refusal } = require('./refusals');
const { platformsProblem } = require('./vocabulary-rule');

/** At most max + 1 bytes of the file: enough to tell a file over the bound. */
function readBounded(file, max) {
  const fd = fs.openSync(file, 'r');
  try {
    const bytes = Buffer.alloc(max + 1);
    let length = 0;
    for (let read; length < bytes.length && (read = fs.readSync(fd, bytes, length, bytes.length - length, null)) > 0;) {
      length += read;
    }
    return bytes.subarray(0, length);
  } finally {
    fs.closeSync(fd);
  }
}

// Plain values of the syntax tree. JSON.parse would keep the last of two equal
// keys without a word, and treat "__proto__" as no key at all.
function plainValue(node, fault) {
  switch (node.type) {
    case 'Object': {
      const object = {};
      for (const { name, value } of node.members) {
        if (Object.hasOwn(object, name.value)) {
          throw fault(`the key ${quote(name.value)} appears twice in one object`);
        }
        Object.defineProperty(object, name.value, {
          value: plainValue(value, fault),
          enumerable: true,
          writable: true,
          configurable: true,
        });
      }
      return object;
    }
    case 'Array':
      return node.elements.map((element) => plainValue(element.value, fault));
    case 'Null':
      return null;
    default:
      return node.value;
  }
}

/**
 * The vocabulary of a file, { platforms }, checked. Throws the file system's
 * error for a file that cannot be read, and an error with code
 * ERR_HEADER_VALIDATOR_TABLE_REFUSED and one problem, "<file>: <fault>", for
 * one that breaks the rule.
 * @param {string} file
 * @returns {{ platforms: Record<string, string[]> }}
 */
function readVocabularyFile(file) {
  const rule = loadFormat().vocabularyRule;
  const fault = (what) => refusal([`${file}: ${what}`]);
  const bytes = readBounded(file, rule.maxFileBytes);
  if (bytes.length > rule.maxFileBytes) throw fault(`the file has more than ${rule.maxFileBytes} bytes`);
  let root;
  try {
    root = parsePlainJson(bytes);
  } catch (err) {
    if (err?.code !== REFUSED) throw err;
    throw fault(err.problems[0].replace(/^input (is )?/, ''));
  }
  const value = plainValue(root, fault);
  if (
    value === null ||
    typeof value !== 'object' ||
    Array.isArray(value) ||
    Object.keys(value).join() !== 'platforms'
  ) {
    throw fault('it must be a JSON object whose only member is platforms');
  }
  const problem = platformsProblem(value.platforms, rule);
  if (problem) throw fault(problem);
  return { platforms: value.platforms };
}

module.exports = { readVocabularyFile };
