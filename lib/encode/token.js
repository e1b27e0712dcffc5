'use strict';

// One token's encoded form, as the module decodes it: the masked token in
// Base64, encrypted with AES-256-CBC under its own random key and IV, in
// Base64 again, with the key and IV woven into the first 108 characters, all
// written as decimal byte numerals.

const crypto = require('node:crypto');

const KEY_BYTES = 32;
const IV_BYTES = 16;
const OUTER_PER_GROUP = 5;
const KEY_IV_PER_GROUP = 4;
const GROUPS = (KEY_BYTES + IV_BYTES) / KEY_IV_PER_GROUP;
const MIN_OUTER = GROUPS * OUTER_PER_GROUP;

/**
 * Encodes one token into the decimal-numeral array the module decodes.
 * @param {Uint8Array} tokenBuffer the token's bytes
 * @param {number} mask the byte XORed into every token byte
 * @param {{key?: Uint8Array, iv?: Uint8Array}} [options] fixed key/IV; random when omitted
 * @returns {string[]}
 */
function encodeToken(
  tokenBuffer,
  mask,
  { key = crypto.randomBytes(KEY_BYTES), iv = crypto.randomBytes(IV_BYTES) } = {},
) {
  // As Node.js's APIs do: a TypeError for a value of the wrong kind, a RangeError for one out of range.
  if (!(tokenBuffer instanceof Uint8Array)) throw new TypeError('token must be a Buffer or Uint8Array');
  if (typeof mask !== 'number') throw new TypeError('mask must be an integer from 0 to 255');
  if (!Number.isInteger(mask) || mask < 0 || mask > 255) throw new RangeError('mask must be an integer from 0 to 255');
  if (!(key instanceof Uint8Array)) throw new TypeError('key must be a Buffer or Uint8Array');
  if (key.length !== KEY_BYTES) throw new RangeError(`key must be ${KEY_BYTES} bytes`);
  if (!(iv instanceof Uint8Array)) throw new TypeError('iv must be a Buffer or Uint8Array');
  if (iv.length !== IV_BYTES) throw new RangeError(`iv must be ${IV_BYTES} bytes`);

  const masked = Buffer.from(tokenBuffer).map((b) => b ^ mask);
  const inner = masked.toString('base64');
  const cipher = crypto.createCipheriv('aes-256-cbc', key, iv);
  const ciphertext = Buffer.concat([cipher.update(inner, 'ascii'), cipher.final()]);
  const outer = Buffer.from(ciphertext.toString('base64'), 'ascii');
  // All twelve key/IV groups must sit inside the outer text.
  if (outer.length < MIN_OUTER) {
    throw new RangeError(`token is too short for the encoded format (${tokenBuffer.length} bytes)`);
  }

  const keyIv = Buffer.concat([key, iv]);
  const text = [];
  for (let g = 0; g < GROUPS; g++) {
    text.push(...outer.subarray(g * OUTER_PER_GROUP, (g + 1) * OUTER_PER_GROUP));
    text.push(...keyIv.subarray(g * KEY_IV_PER_GROUP, (g + 1) * KEY_IV_PER_GROUP));
  }
  text.push(...outer.subarray(MIN_OUTER));
  return text.map(String);
}

module.exports = { encodeToken };
