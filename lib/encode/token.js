'use strict';

// One token's encoded form, as the module decodes it: the masked token in
// Base64, encrypted with AES-256-CBC under its own random key and IV, in
// Base64 again, with the key and IV woven into the outer text in groups (the
// layout of shared/table_format.json), all written as decimal byte numerals.

const crypto = require('node:crypto');
const { loadFormat } = require('./format');

/**
 * Encodes one token into the decimal-numeral array the module decodes.
 * @param {Uint8Array} tokenBuffer the token's bytes
 * @param {number} mask the byte XORed into every token byte
 * @param {{key?: Uint8Array, iv?: Uint8Array}} [options] fixed key/IV; random when omitted
 * @returns {string[]}
 */
function encodeToken(tokenBuffer, mask, options = {}) {
  const { keyBytes, ivBytes, outerTextBytesPerGroup, keyIvBytesPerGroup } = loadFormat().keyIv;
  const groups = (keyBytes + ivBytes) / keyIvBytesPerGroup;
  const interleaved = groups * outerTextBytesPerGroup;
  const { key = crypto.randomBytes(keyBytes), iv = crypto.randomBytes(ivBytes) } = options;
  // As Node.js's APIs do: a TypeError for a value of the wrong kind, a RangeError for one out of range.
  if (!(tokenBuffer instanceof Uint8Array)) throw new TypeError('token must be a Buffer or Uint8Array');
  if (typeof mask !== 'number') throw new TypeError('mask must be an integer from 0 to 255');
  if (!Number.isInteger(mask) || mask < 0 || mask > 255) throw new RangeError('mask must be an integer from 0 to 255');
  if (!(key instanceof Uint8Array)) throw new TypeError('key must be a Buffer or Uint8Array');
  if (key.length !== keyBytes) throw new RangeError(`key must be ${keyBytes} bytes`);
  if (!(iv instanceof Uint8Array)) throw new TypeError('iv must be a Buffer or Uint8Array');
  if (iv.length !== ivBytes) throw new RangeError(`iv must be ${ivBytes} bytes`);

  const masked = Buffer.from(tokenBuffer).map((b) => b ^ mask);
  const inner = masked.toString('base64');
  const cipher = crypto.createCipheriv('aes-256-cbc', key, iv);
  const ciphertext = Buffer.concat([cipher.update(inner, 'ascii'), cipher.final()]);
  const outer = Buffer.from(ciphertext.toString('base64'), 'ascii');
  // Every key/IV group must sit inside the outer text.
  if (outer.length < interleaved) {
    throw new RangeError(`token is too short for the encoded format (${tokenBuffer.length} bytes)`);
  }

  const keyIv = Buffer.concat([key, iv]);
  const text = [];
  for (let g = 0; g < groups; g++) {
    text.push(...outer.subarray(g * outerTextBytesPerGroup, (g + 1) * outerTextBytesPerGroup));
    text.push(...keyIv.subarray(g * keyIvBytesPerGroup, (g + 1) * keyIvBytesPerGroup));
  }
  text.push(...outer.subarray(interleaved));
  return text.map(String);
}

module.exports = { encodeToken };
