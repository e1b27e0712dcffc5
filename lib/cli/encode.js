'use strict';

// `header-validator encode`: a plain token file in, the encoded table out, to
// --out or standard output. Reports every fault of a refused file, and what it
// wrote on success, on standard error; never a token.

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { encodeTable, formatTable, writeTableFile, TABLE_FILE_MODE, REFUSED } = require('../encode');
const { EXIT, systemErrorText } = require('./exit-status');

const plural = (count, noun) => `${count} ${noun}${count === 1 ? '' : 's'}`;

function countOf(table) {
  const leaves = Object.values(table).flatMap((platforms) => Object.values(platforms).flatMap(Object.values));
  return `${plural(leaves.length, 'token')} for ${plural(Object.keys(table).length, 'host')}`;
}

/**
 * @param {string[]} positionals [input]
 * @param {{out?: string, 'allow-demo-tokens'?: boolean, 'allow-shared-tokens'?: boolean}} values
 * @param {{stdout: NodeJS.WritableStream, report: (line: string) => void}} io
 * @returns {number} the exit status
 */
function encode([input], values, io) {
  let plain;
  try {
    plain = fs.readFileSync(input);
  } catch (err) {
    io.report(`cannot read ${input}: ${systemErrorText(err)}`);
    return EXIT.ERROR;
  }

  let table;
  try {
    table = encodeTable(plain, {
      allowDemoTokens: values['allow-demo-tokens'] === true,
      allowSharedTokens: values['allow-shared-tokens'] === true,
    });
  } catch (err) {
    if (err?.code !== REFUSED) throw err;
    for (const line of [...err.problems, ...err.hints]) io.report(line);
    io.report(`refused ${input}: ${plural(err.problems.length, 'problem')}; nothing was written`);
    return EXIT.NO;
  }
  const text = formatTable(table);

  if (values.out === undefined) {
    io.stdout.write(text);
    io.report(
      `wrote ${countOf(table)} to standard output; whoever reads it can recover every token ` +
        '(--out writes a file only you can read)',
    );
    return EXIT.OK;
  }
  try {
    writeTableFile(values.out, text);
  } catch (err) {
    io.report(`cannot write ${values.out}: ${systemErrorText(err)}`);
    return EXIT.ERROR;
  }
  const sha256 = crypto.createHash('sha256').update(text).digest('hex');
  io.report(
    `wrote ${countOf(table)} to ${path.resolve(values.out)} (mode 0${TABLE_FILE_MODE.toString(8)}, ` +
      `sha256:${sha256})`,
  );
  return EXIT.OK;
}

module.exports = { encode };
