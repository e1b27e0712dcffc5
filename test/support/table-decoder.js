'use strict';

// A decoder of encoded table leaves, written from the format description and
// not from the encoder, so that a fault the encoder and the module's build
// shared could not hide: the first 108 bytes are twelve groups of five bytes
// of outer text and four of key and IV, the rest is outer text; the outer
// text is Base64 of the AES-256-CBC ciphertext of the Base64 of the masked
// token. Only the mask is read from shared/table_format.json.

const assert = require('node:assert/strict');
const crypto = require('node:crypto');

const { loadFormat } = require('../../lib/encode/format');

const MASK = loadFormat().mask;

const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

function decodeLeaf(numerals, mask = MASK) {
  assert.ok(Array.isArray(numerals), 'leaf is not an array');
  for (const n of numerals) {
    assert.ok(
      typeof n === 'string' && /^(0|[1-9][0-9]{0,2})$/.test(n) && Number(n) <= 255,
      'element is not a plain byte numeral',
    );
  }
  const text = Buffer.from(numerals.map(Number));
  assert.ok(text.length >= 108, 'encoded text too short for key and IV');
  const outerParts = [];
  const keyIvParts = [];
  for (let offset = 0; offset < 108; offset += 9) {
    outerParts.push(text.subarray(offset, offset + 5));
    keyIvParts.push(text.subarray(offset + 5, offset + 9));
  }
  outerParts.push(text.subarray(108));
  const outer = Buffer.concat(outerParts).toString('latin1');
  const keyIv = Buffer.concat(keyIvParts);
  assert.match(outer, BASE64, 'outer text is not one line of padded Base64');

  const decipher = crypto.createDecipheriv('aes-256-cbc', keyIv.subarray(0, 32), keyIv.subarray(32));
  const inner = Buffer.concat([decipher.update(Buffer.from(outer, 'base64')), decipher.final()]).toString('latin1');
  assert.match(inner, BASE64, 'inner text is not one line of padded Base64');
  const token = Buffer.from(inner, 'base64').map((b) => b ^ mask);
  return { token, inner, outer, key: keyIv.subarray(0, 32), iv: keyIv.subarray(32) };
}

// Outer-text length for a token of n bytes: Base64, PKCS#7 to whole blocks, Base64.
function expectedOuterLength(n) {
  const inner = 4 * Math.ceil(n / 3);
  const ciphertext = 16 * (Math.floor(inner / 16) + 1);
  return 4 * Math.ceil(ciphertext / 3);
}

module.exports = { decodeLeaf, expectedOuterLength, MASK };
