'use strict';

// What the encoder refuses in a plain token file, one check per kind of fault.
// Each check returns its problem as one line naming the place (never the token,
// which ends up nowhere but the encoded table), so that one run can report
// every fault in the file.

const crypto = require('node:crypto');
const { loadPublicDigests } = require('./public-digests');
const { keyDigests } = require('./key-schedule-words');
const { quote, showPath, listPaths } = require('./leaf-path');

const { codes, tableRefused: refusal } = require('../errors');

const REFUSED = codes.TABLE_REFUSED;

function kindOf(node) {
  switch (node.type) {
    case 'Object':
      return 'an object';
    case 'Array':
      return 'an array';
    case 'String':
      return 'a string';
    case 'Number':
      return 'a number';
    case 'Boolean':
      return 'a boolean';
    default:
      return 'null';
  }
}

/**
 * The members of an object node worth checking further: an empty name or a
 * repeated one is reported (the repeat once, with both lines) and left out.
 */
function membersOf(node, parentNames, what, problems) {
  const seen = new Map();
  const members = [];
  const where = parentNames.length ? ` under ${showPath(parentNames)}` : '';
  for (const member of node.members) {
    const name = member.name.value;
    const line = member.name.loc.start.line;
    if (name === '') {
      problems.push(`empty ${what} name${where} (line ${line})`);
    } else if (seen.has(name)) {
      problems.push(`duplicate ${what} ${showPath([...parentNames, name])} (lines ${seen.get(name)} and ${line})`);
    } else {
      seen.set(name, line);
      members.push([name, member.value]);
    }
  }
  return members;
}

/**
 * Whether host follows the host-name rule of the table format (name, then
 * optionally ':' and a port), as the build's table check applies it too.
 */
function followsHostNameRule(host, rule) {
  const colon = host.indexOf(':');
  const name = colon === -1 ? host : host.slice(0, colon);
  const port = colon === -1 ? undefined : host.slice(colon + 1);
  const labelFits = (label) => label.length <= rule.maxLabelLength && rule.labelPattern.test(label);
  return (
    name.length <= rule.maxNameLength &&
    name.split('.').every(labelFits) &&
    !(rule.allDigitNamesRefused && /^[0-9]+$/.test(name)) &&
    (port === undefined ||
      (rule.portPattern.test(port) && Number(port) >= rule.ports.min && Number(port) <= rule.ports.max))
  );
}

function hostNameProblem(host, rule) {
  const named = `host name ${quote(host)}`;
  if (host in Object.prototype) {
    return `${named} is reserved: every JavaScript object inherits a property of that name`;
  }
  return followsHostNameRule(host, rule)
    ? ''
    : `${named} is not a plain DNS name (letters, digits, hyphens and dots, optionally :port)`;
}

function notAnObjectProblem(node, names, what) {
  return node.type === 'Object' ? '' : `${showPath(names)}: ${what} must be a JSON object, found ${kindOf(node)}`;
}

// Optimal string alignment distance, so that swapped letters count once.
function editDistance(a, b) {
  const d = Array.from({ length: a.length + 1 }, (_, i) => [i, ...Array(b.length).fill(0)]);
  for (let j = 1; j <= b.length; j++) d[0][j] = j;
  for (let i = 1; i <= a.length; i++) {
    for (let j = 1; j <= b.length; j++) {
      const cost = a[i - 1] === b[j - 1] ? 0 : 1;
      d[i][j] = Math.min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost);
      if (i > 1 && j > 1 && a[i - 1] === b[j - 2] && a[i - 2] === b[j - 1]) {
        d[i][j] = Math.min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.length][b.length];
}

function didYouMean(name, known) {
  const upper = name.toUpperCase();
  let best;
  let bestDistance = 3;
  for (const k of known) {
    const distance = k === upper ? 0 : editDistance(upper, k);
    if (distance < bestDistance) [best, bestDistance] = [k, distance];
  }
  return best === undefined ? '' : `did you mean ${best}? `;
}

function platformProblem([host, platform], platforms) {
  if (platforms.has(platform)) return '';
  const known = [...platforms.keys()];
  return (
    `${showPath([host, platform])}: unknown platform ${quote(platform)}; ${didYouMean(platform, known)}` +
    `known platforms: ${known.join(', ')} (names are case-sensitive)`
  );
}

/** Only for a known platform. */
function userTypeProblem(names, platforms) {
  const [, platform, userType] = names;
  const allowed = platforms.get(platform);
  if (allowed.includes(userType)) return '';
  const where = showPath(names);
  if ([...platforms.values()].some((list) => list.includes(userType))) {
    return (
      `${where}: user type ${userType} does not exist under platform ${platform}; ` +
      `${platform} has: ${allowed.join(', ')}`
    );
  }
  return (
    `${where}: unknown user type ${quote(userType)}; ${didYouMean(userType, allowed)}user types under ${platform}: ` +
    `${allowed.join(', ')} (names are case-sensitive)`
  );
}

/** The token's UTF-8 bytes, or the problem with it. */
function checkToken(node, names, format) {
  const where = showPath(names);
  if (node.type !== 'String') {
    const hint = node.type === 'Array' ? ' (is this file already encoded?)' : '';
    return { problem: `${where}: the token must be a string, found ${kindOf(node)}${hint}` };
  }
  const token = node.value;
  if (!token.isWellFormed()) {
    return { problem: `${where}: token is not valid Unicode text (it holds an unpaired surrogate)` };
  }
  const bytes = Buffer.from(token, 'utf8');
  if (bytes.includes(0)) return { problem: `${where}: token contains a NUL byte, which would cut it short` };
  if (bytes.length < format.min) {
    return {
      problem:
        `${where}: token has ${bytes.length} bytes; tokens need at least ${format.min} bytes (UTF-8) to be ` +
        'encoded',
    };
  }
  if (bytes.length > format.max) {
    return {
      problem:
        `${where}: token has ${bytes.length} bytes; tokens may have at most ${format.max} bytes (UTF-8), bcrypt ` +
        'ignores the rest',
    };
  }
  return { bytes };
}

// A public demo token lets anyone make codes; one token at several
// combinations, or tokens that bcrypt reads as one key, let a code for one
// (say staging) open the others.
function tokenReuseProblems(leaves, { allowDemoTokens, allowSharedTokens }) {
  const publicDigests = loadPublicDigests();
  const digested = leaves.map(({ names, bytes }) => ({
    names,
    digest: crypto.createHash('sha256').update(bytes).digest('hex'),
  }));
  const byDigest = new Map();
  for (const { names, digest } of digested) {
    if (!byDigest.has(digest)) byDigest.set(digest, []);
    byDigest.get(digest).push(names);
  }
  const problems = [];
  const hints = [];
  if (!allowDemoTokens) {
    const demo = digested.filter(({ digest }) => publicDigests.has(digest));
    for (const { names } of demo) {
      problems.push(
        `${showPath(names)}: public demo token (tokens/demo-tokens.json), so anyone can make valid codes for it`,
      );
    }
    if (demo.length > 0)
      hints.push('use tokens of your own (--allow-demo-tokens only to encode the demo table itself)');
  }
  if (!allowSharedTokens) {
    const others = (paths) => (paths.length === 2 ? 'other' : 'others');
    const shared = [...byDigest.values()].filter((paths) => paths.length > 1);
    for (const paths of shared) {
      problems.push(`${listPaths(paths)} have the same token, so a code for one is valid for the ${others(paths)}`);
    }
    const oneKey = oneKeyGroups(leaves, digested);
    for (const { paths, variants } of oneKey) {
      const prefixes = variants.map((v) => `$2${v}$`).join(' and ');
      problems.push(
        `${listPaths(paths)} have different tokens that are one bcrypt key under ${prefixes}, so a ` +
          `${prefixes} code for one is valid for the ${others(paths)}`,
      );
    }
    if (shared.length > 0 || oneKey.length > 0) {
      hints.push('give each combination its own token (--allow-shared-tokens if this is intended)');
    }
    if (oneKey.length > 0) {
      hints.push(
        'tokens of ASCII characters only are never one key (under $2x$ a byte of 0x80 or above overwrites the ' +
          'bytes before it in its 4-byte group)',
      );
    }
  }
  return { problems, hints };
}

/**
 * Leaves whose tokens differ but are one bcrypt key under some variant: one
 * group per set of leaves, with every variant that joins exactly them.
 */
function oneKeyGroups(leaves, digested) {
  const byKey = new Map();
  leaves.forEach(({ bytes }, i) => {
    for (const [variant, digest] of keyDigests(bytes)) {
      const key = `${variant}:${digest}`;
      if (!byKey.has(key)) byKey.set(key, { variant, members: [] });
      byKey.get(key).members.push(i);
    }
  });
  const groups = new Map();
  for (const { variant, members } of byKey.values()) {
    // One leaf for each distinct token: byte-identical ones are reported as the same token.
    const tokens = new Set();
    const distinct = members.filter((i) => !tokens.has(digested[i].digest) && tokens.add(digested[i].digest));
    if (distinct.length < 2) continue;
    const id = distinct.join(',');
    if (!groups.has(id)) groups.set(id, { paths: distinct.map((i) => leaves[i].names), variants: [] });
    groups.get(id).variants.push(variant);
  }
  return [...groups.values()];
}

module.exports = {
  REFUSED,
  refusal,
  kindOf,
  membersOf,
  hostNameProblem,
  notAnObjectProblem,
  didYouMean,
  platformProblem,
  userTypeProblem,
  checkToken,
  tokenReuseProblems,
};
