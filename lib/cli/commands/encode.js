'use strict';

// `header-validator encode`: a plain token file in, the encoded table out, to
// --out or standard output. Reports every fault of a refused file, and what it
// wrote on success, on standard error; never a token.

const fs = require('node:fs');
const path = require('node:path');
const { EXIT, systemErrorText } = require('../exit-status');

const plural = (count, noun) => `${count} ${noun}${count === 1 ? '' : 's'}`;

function countOf(table) {
  const leaves = Object.values(table).flatMap((platforms) => Object.values(platforms).flatMap(Object.values));
  return `${plural(leaves.length, 'token')} for ${plural(Object.keys(table).length, 'host')}`;
}

/**
 * The vocabulary of the file that --vocabulary names, { platforms }, or
 * undefined without it; a number (the exit status) after reporting why the
 * file cannot be used.
 */
function vocabularyOf(file, io) {
  if (file === undefined) return undefined;
  const { readVocabularyFile, REFUSED } = require('../../encode');
  try {
    return readVocabularyFile(file);
  } catch (err) {
    if (err?.code === REFUSED) {
      io.report(`${err.problems[0]}; nothing was written`);
      return EXIT.NO;
    }
    if (typeof err?.errno !== 'number' || !err.syscall) throw err;
    io.report(`cannot read ${file}: ${systemErrorText(err)}`);
    return EXIT.ERROR;
  }
}

/**
 * @param {string[]} positionals [input]
 * @param {{out?: string, vocabulary?: string, 'allow-demo-tokens'?: boolean, 'allow-shared-tokens'?: boolean}} values
 * @param {{stdout: NodeJS.WritableStream, report: (line: string) => void}} io
 * @returns {number} the exit status
 */
function encode([input], values, io) {
  // Loaded by the command, not with the command line, which every command starts.
  const crypto = require('node:crypto');
  const { encodeTable, formatTable, writeTableFile, TABLE_FILE_MODE, REFUSED } = require('../../encode');
  let plain;
  try {
    plain = fs.readFileSync(input);
  } catch (err) {
    io.report(`cannot read ${input}: ${systemErrorText(err)}`);
    return EXIT.ERROR;
  }

  const vocabulary = vocabularyOf(values.vocabulary, io);
  if (typeof vocabulary === 'number') return vocabulary;

  let table;
  try {
    table = encodeTable(plain, {
      allowDemoTokens: values['allow-demo-tokens'] === true,
      allowSharedTokens: values['allow-shared-tokens'] === true,
      vocabulary,
    });
  } catch (err) {
    if (err?.code !== REFUSED) throw err;
    for (const line of [...err.problems, ...err.hints]) io.report(line);
    io.report(`refused ${input}: ${plural(err.problems.length, 'problem')}; nothing was written`);
    return EXIT.NO;
  }
  const text = formatTable(table);
  // The build checks the table against the same vocabulary, so it must be told.
  const buildWith = () => {
    if (vocabulary !== undefined) {
      io.report(
        `build it with HEADER_VALIDATOR_VOCABULARY=${path.resolve(values.vocabulary)}, as it uses that vocabulary`,
      );
    }
  };

  if (values.out === undefined) {
    io.stdout.write(text);
    io.report(
      `wrote ${countOf(table)} to standard output; whoever reads it can recover every token ` +
        '(--out writes a file only you can read)',
    );
    buildWith();
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
  buildWith();
  return EXIT.OK;
}

module.exports = {
  usage:
    'encode <plain.json> [--out table.json] [--allow-demo-tokens] [--allow-shared-tokens] [--vocabulary file.json]',
  about:
    'Encodes a plain token file (host -> platform -> userType -> token) into the table the build compiles in;\n' +
    'then build with HEADER_VALIDATOR_TABLE=/abs/table.json npm run build. Keep the plain file out of git.\n' +
    'Refuses the public demo tokens, and one token (or tokens that bcrypt reads as one key) used for several\n' +
    'combinations, naming the combinations; a refused file has every fault listed, never a token. Says what\n' +
    'it wrote on standard error.\n\n' +
    '  --out <file>           write the table to this file, mode 0600; an existing one must be a regular file\n' +
    '  --allow-demo-tokens    accept the public demo tokens (only to encode the demo table itself)\n' +
    '  --allow-shared-tokens  accept one token, or one bcrypt key, for several combinations\n' +
    '  --vocabulary <file>    platforms and user types of your own, { "platforms": { "WEB": ["USER"] } },\n' +
    "                         instead of the package's; build with HEADER_VALIDATOR_VOCABULARY=<file> too",
  exits: '0 written, 1 the input file is refused',
  options: {
    out: { type: 'string', short: 'o' },
    vocabulary: { type: 'string' },
    'allow-demo-tokens': { type: 'boolean' },
    'allow-shared-tokens': { type: 'boolean' },
  },
  usageProblem: (values) =>
    values.out === '' ? '--out needs a file name' : values.vocabulary === '' ? '--vocabulary needs a file name' : '',
  positionals: 1,
  run: encode,
};
