'use strict';

// Which C library this Node.js runs on, and its version: for saying why a
// module built for glibc cannot load here. Linux only.

const { readElf } = require('./elf');

// Slow (a whole diagnostic report): for error messages only.
function runtimeGlibc() {
  return process.report?.getReport?.().header?.glibcVersionRuntime;
}

/** 'glibc' or 'musl' for the C library this Node.js runs on (Linux only). */
function runtimeLibc() {
  // The interpreter Node.js itself was linked against: ld-linux-* or ld-musl-*.
  const interpreter = readElf(process.execPath)?.interpreter;
  if (interpreter) return /musl/.test(interpreter) ? 'musl' : 'glibc';
  return runtimeGlibc() ? 'glibc' : 'musl';
}

module.exports = { runtimeLibc, runtimeGlibc };
