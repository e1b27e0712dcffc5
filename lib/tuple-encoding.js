'use strict';

// The one encoding of a call's four arguments that the caches key on: each
// argument as its UTF-16 units behind its length (32-bit little-endian), so
// that no two tuples share an encoding, however their characters are arranged
// (a separator inside an argument, an empty argument, a lone surrogate that
// UTF-8 would turn into U+FFFD).

/** @param {string[]} args @returns {Buffer} */
function encodeTuple(args) {
  let size = 0;
  for (const arg of args) size += 4 + 2 * arg.length;
  const encoded = Buffer.allocUnsafe(size);
  let offset = 0;
  for (const arg of args) {
    offset = encoded.writeUInt32LE(arg.length, offset);
    offset += encoded.write(arg, offset, 'utf16le');
  }
  return encoded;
}

module.exports = { encodeTuple };
