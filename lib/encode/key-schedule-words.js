'use strict';

// Which tokens bcrypt cannot tell apart. Its key schedule reads a key as 18
// 32-bit words, made by cycling the key's bytes and its terminating NUL over
// 72 bytes. Under $2x$ (an old bug kept for stored hashes) each byte is
// widened as a signed char first, so a byte of 0x80 or above overwrites the
// bytes before it in its word, and different tokens can make the same words:
// one key, whose codes validate for both. libxcrypt computes the words so
// (crypt-bcrypt.c, BF_set_key); src/bcrypt/key_schedule_words.cc does the same
// for the build's table check, and both are checked against libxcrypt's
// hashes of test/data/bcrypt-one-key-pairs.json.

const crypto = require('node:crypto');
const { AUTH_CODE_VARIANTS } = require('../auth-code-rules');

const EXPANDED_WORDS = 18;
// The bit that $2a$ flips in the first round's first word.
const SAFETY_BIT = 0x10000;

/**
 * The words bcrypt reads under one variant, big-endian: the 18 XORed into the
 * P-array in every round, then the first word of the first round, which only
 * $2a$ may change (libxcrypt's guard against $2x$ collisions). Key material:
 * the caller wipes it.
 * @param {Buffer} key read up to its first NUL
 * @param {string} variant 'a', 'b', 'x' or 'y'
 */
function keyScheduleWords(key, variant) {
  if (!['a', 'b', 'x', 'y'].includes(variant)) throw new RangeError(`not a bcrypt variant letter: ${variant}`);
  const nul = key.indexOf(0);
  const length = nul === -1 ? key.length : nul;
  const words = Buffer.alloc(4 * (EXPANDED_WORDS + 1));
  // Whether sign extension changed any word, and whether a high byte followed
  // another byte of its word.
  let differs = 0;
  let extendedOver = false;
  let next = 0;
  for (let i = 0; i < EXPANDED_WORDS; i++) {
    let correct = 0;
    let signExtended = 0;
    for (let j = 0; j < 4; j++) {
      const byte = next < length ? key[next] : 0;
      const high = byte >= 0x80;
      correct = ((correct << 8) | byte) >>> 0;
      signExtended = ((signExtended << 8) | (high ? byte | 0xffffff00 : byte)) >>> 0;
      if (j > 0 && high) extendedOver = true;
      next = next < length ? next + 1 : 0;
    }
    differs |= correct ^ signExtended;
    words.writeUInt32BE(variant === 'x' ? signExtended : correct, 4 * i);
  }
  // A key whose sign extension changed nothing could be reached from $2x$
  // keys; $2a$ steps aside from them in the first round only.
  const first = words.readUInt32BE(0);
  const guarded = variant === 'a' && extendedOver && differs === 0;
  words.writeUInt32BE((guarded ? first ^ SAFETY_BIT : first) >>> 0, 4 * EXPANDED_WORDS);
  return words;
}

/**
 * For each accepted variant letter, a SHA-256 digest (hex) of the words bcrypt
 * reads from the token: equal digests, one key. The words are wiped.
 * @param {Buffer} token
 * @returns {Map<string, string>}
 */
function keyDigests(token) {
  const digests = new Map();
  for (const variant of AUTH_CODE_VARIANTS) {
    const words = keyScheduleWords(token, variant);
    digests.set(variant, crypto.createHash('sha256').update(words).digest('hex'));
    words.fill(0);
  }
  return digests;
}

module.exports = { keyDigests };
