'use strict';

// Plain tables for the encoder's tests, and assertions about them that never
// print a token: random tokens of a given length in UTF-8 bytes, a full table
// of every combination, its leaves in order, and a refusal's message checked
// for any stretch of the token.

const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const { loadFormat } = require('../../lib/encode/format');

const FORMAT = loadFormat();

const CHARS = ['a', 'Z', '7', '~', '"', '\\', 'é', 'ß', '€', '中', '😀', '𝄞'];

/** A random token of exactly `bytes` UTF-8 bytes, mixing 1- to 4-byte characters. */
function randomToken(bytes) {
  let token = '';
  while (Buffer.byteLength(token) < bytes) {
    const room = bytes - Buffer.byteLength(token);
    const fitting = CHARS.filter((c) => Buffer.byteLength(c) <= room);
    token += fitting[crypto.randomInt(fitting.length)];
  }
  return token;
}

function randomAsciiToken(bytes) {
  return Array.from({ length: bytes }, () => String.fromCharCode(crypto.randomInt(0x21, 0x7f))).join('');
}

function fullPlainTable(hosts = FORMAT.hosts) {
  const table = {};
  for (const host of hosts) {
    table[host] = {};
    for (const [platform, userTypes] of FORMAT.platforms) {
      table[host][platform] = {};
      for (const userType of userTypes) table[host][platform][userType] = randomToken(crypto.randomInt(22, 73));
    }
  }
  return table;
}

function* leavesOf(table) {
  for (const [host, platforms] of Object.entries(table)) {
    for (const [platform, userTypes] of Object.entries(platforms)) {
      for (const [userType, leaf] of Object.entries(userTypes)) yield [`${host}/${platform}/${userType}`, leaf];
    }
  }
}

function sameToken(decoded, token) {
  return decoded.equals(Buffer.from(token, 'utf8'));
}

/** The refusal's message; fails (without quoting anything) when nothing was refused. */
function refusalOf(fn) {
  try {
    fn();
  } catch (err) {
    assert.ok(err instanceof Error, 'refusal is not an Error');
    return err.message;
  }
  assert.fail('input was not refused');
}

// No six-character stretch of the token may show up in the text.
function assertNoTokenIn(text, token) {
  for (let i = 0; i + 6 <= token.length; i++) {
    if (text.includes(token.slice(i, i + 6))) assert.fail('output quotes part of the token');
  }
}

module.exports = {
  FORMAT,
  randomToken,
  randomAsciiToken,
  fullPlainTable,
  leavesOf,
  sameToken,
  refusalOf,
  assertNoTokenIn,
};
