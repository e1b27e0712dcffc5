'use strict';

// Turns a plain token file (host -> platform -> userType -> token) into the
// encoded table that the module compiles in. Each token gets its own random
// AES key and IV, carried inside its encoded text.

const { checkOptionsObject, checkNames, checkBoolean } = require('../options');
const { loadFormat } = require('./format');
const { encodeToken } = require('./token');
const { parsePlainJson } = require('./parse-json');
const { showPath } = require('./leaf-path');
const {
  refusal,
  kindOf,
  membersOf,
  hostNameProblem,
  notAnObjectProblem,
  platformProblem,
  didYouMean,
  userTypeProblem,
  checkToken,
  tokenReuseProblems,
} = require('./refusals');

const { platformsProblem, platformsMap } = require('./vocabulary-rule');

const OPTION_NAMES = new Set(['allowDemoTokens', 'allowSharedTokens', 'vocabulary']);

/** The platforms a table may use: a team's vocabulary ({ platforms }), checked, or the format's own. */
function platformsInUse(vocabulary, format) {
  if (vocabulary === undefined) return format.platforms;
  if (vocabulary === null || typeof vocabulary !== 'object' || Object.keys(vocabulary).join() !== 'platforms') {
    throw new TypeError('encodeTable: vocabulary must be an object whose only member is platforms');
  }
  const problem = platformsProblem(vocabulary.platforms, format.vocabularyRule);
  if (problem) throw new TypeError(`encodeTable: vocabulary: ${problem}`);
  return platformsMap(vocabulary.platforms);
}

/**
 * Every usable token of the plain table, every host and platform object in
 * order (empty ones too), the problems found on the way, and whether a
 * platform is unlike any known one.
 */
function collectLeaves(root, format, platforms) {
  const problems = [];
  const leaves = [];
  const objects = [];
  let unlikeAny = false;
  const pushProblem = (problem) => problem && problems.push(problem);
  for (const [host, hostNode] of membersOf(root, [], 'host', problems)) {
    pushProblem(hostNameProblem(host, format.hostNames));
    const platformsProblem = notAnObjectProblem(hostNode, [host], 'platforms');
    if (platformsProblem) {
      problems.push(platformsProblem);
      continue;
    }
    objects.push([host]);
    for (const [platform, platformNode] of membersOf(hostNode, [host], 'platform', problems)) {
      const unknownPlatform = platformProblem([host, platform], platforms);
      pushProblem(unknownPlatform);
      // A near miss is a typo; a name unlike any is perhaps a platform of the team's own.
      if (unknownPlatform && !didYouMean(platform, platforms.keys())) unlikeAny = true;
      const userTypesProblem = notAnObjectProblem(platformNode, [host, platform], 'user types');
      if (userTypesProblem) {
        problems.push(userTypesProblem);
        continue;
      }
      objects.push([host, platform]);
      for (const [userType, leaf] of membersOf(platformNode, [host, platform], 'user type', problems)) {
        const names = [host, platform, userType];
        // Under an unknown platform every user type would be unknown too: said once.
        if (!unknownPlatform) pushProblem(userTypeProblem(names, platforms));
        const { problem, bytes } = checkToken(leaf, names, format);
        if (problem) problems.push(problem);
        else leaves.push({ names, bytes });
      }
    }
  }
  return { leaves, objects, problems, unlikeAny };
}

/**
 * Encodes a whole plain token table. A refused input throws one error with
 * code ERR_HEADER_VALIDATOR_TABLE_REFUSED whose `problems` lists every fault
 * found, each naming its place, never a token.
 * @param {Buffer|Uint8Array|string} plainJsonText host -> platform -> userType -> token
 * @param {{allowDemoTokens?: boolean, allowSharedTokens?: boolean, vocabulary?: {platforms: Record<string, string[]>}}}
 *   [options] accept public demo tokens, or one token (or tokens that are one bcrypt key) at several
 *   combinations, instead of refusing them; a team's own platforms and user types instead of the table
 *   format's (as readVocabularyFile reads them)
 * @returns {Record<string, Record<string, Record<string, string[]>>>}
 */
function encodeTable(plainJsonText, options = {}) {
  // A misspelt or non-boolean switch must not quietly let demo or shared tokens through.
  checkOptionsObject(options, 'encodeTable');
  checkNames(options, OPTION_NAMES, 'encodeTable', { listed: true });
  const { allowDemoTokens = false, allowSharedTokens = false, vocabulary } = options;
  checkBoolean(allowDemoTokens, 'encodeTable', 'allowDemoTokens');
  checkBoolean(allowSharedTokens, 'encodeTable', 'allowSharedTokens');
  const format = loadFormat();
  const platforms = platformsInUse(vocabulary, format);
  const root = parsePlainJson(plainJsonText);
  if (root.type !== 'Object') throw refusal([`the table must be a JSON object of hosts, found ${kindOf(root)}`]);

  // Check everything before encoding anything, so that a refusal costs no crypto.
  const { leaves, objects, problems, unlikeAny } = collectLeaves(root, format, platforms);
  if (leaves.length === 0 && problems.length === 0) throw refusal(['the table is empty: it holds no token']);
  const reuse = tokenReuseProblems(leaves, { allowDemoTokens, allowSharedTokens });
  problems.push(...reuse.problems);
  const hints = [...reuse.hints];
  if (unlikeAny && vocabulary === undefined) {
    hints.push('platforms of your own: list them in a vocabulary file and encode with --vocabulary <file>');
  }
  if (problems.length > 0) throw refusal(problems, hints);

  // Only checked names become keys (no __proto__ and the like).
  const table = {};
  for (const [host, platform] of objects) {
    if (platform === undefined) table[host] = {};
    else table[host][platform] = {};
  }
  for (const { names, bytes } of leaves) {
    const [host, platform, userType] = names;
    try {
      table[host][platform][userType] = encodeToken(bytes, format.mask);
    } catch (err) {
      problems.push(`${showPath(names)}: ${err.message}`);
    }
  }
  if (problems.length > 0) throw refusal(problems);
  return table;
}

/** JSON text of an encoded table: two-space indent, one leaf array per line. */
function formatTable(table) {
  // Leaves hold numerals only and names never hold brackets, so each [...] is one leaf.
  const text = JSON.stringify(table, null, 2).replace(/\[[^\]]*\]/g, (leaf) => JSON.stringify(JSON.parse(leaf)));
  return `${text}\n`;
}

module.exports = { encodeTable, formatTable };
