'use strict';

// Reads the few fields of an ELF file that tell which machine it was built for
// and which program interpreter (hence C library) it was linked against, for
// the loader's choice of module and its explanations.

const fs = require('node:fs');

function readAt(fd, length, position) {
  const buffer = Buffer.alloc(length);
  return buffer.subarray(0, fs.readSync(fd, buffer, 0, length, position));
}

/**
 * The machine and program interpreter of a 64-bit little-endian ELF file,
 * or undefined for anything else. Reads a few hundred bytes.
 */
function readElf(file) {
  let fd;
  try {
    fd = fs.openSync(file, 'r');
    const header = readAt(fd, 64, 0);
    if (header.length < 64 || header.readUInt32BE(0) !== 0x7f454c46 || header[4] !== 2 || header[5] !== 1) {
      return undefined;
    }
    const machine = header.readUInt16LE(18);
    const [phoff, phentsize, phnum] = [
      Number(header.readBigUInt64LE(32)),
      header.readUInt16LE(54),
      header.readUInt16LE(56),
    ];
    const table = readAt(fd, phentsize * phnum, phoff);
    for (let at = 0; at + 40 <= table.length; at += phentsize) {
      if (table.readUInt32LE(at) !== 3) continue; // PT_INTERP
      const [offset, size] = [Number(table.readBigUInt64LE(at + 8)), Number(table.readBigUInt64LE(at + 32))];
      const interpreter = readAt(fd, Math.min(size, 256), offset);
      return { machine, interpreter: interpreter.toString('latin1').replace(/\0[^]*$/, '') };
    }
    return { machine, interpreter: undefined };
  } catch {
    return undefined;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

module.exports = { readElf };
