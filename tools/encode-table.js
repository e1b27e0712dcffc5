#!/usr/bin/env node
'use strict';

// Turns a plain token file (host -> platform -> userType -> token) into the
// encoded table that the module compiles in. Each token gets its own random
// AES key and IV, carried inside its encoded text.
//
// Error messages name the host/platform/userType path of the offending entry
// but never the token or any part of it: they end up in terminals and CI logs.

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');
const momoa = require('@humanwhocodes/momoa');

const FORMAT_FILE = path.join(__dirname, '..', 'src', 'tokens', 'table_format.json');
const PUBLIC_DIGESTS_FILE = path.join(__dirname, '..', 'src', 'tokens', 'public_token_digests.json');

const KEY_BYTES = 32;
const IV_BYTES = 16;
const OUTER_PER_GROUP = 5;
const KEY_IV_PER_GROUP = 4;
const GROUPS = (KEY_BYTES + IV_BYTES) / KEY_IV_PER_GROUP;
const MIN_OUTER = GROUPS * OUTER_PER_GROUP;

const USAGE =
  'usage: encode-table <plain.json> [--out <table.json>] [--allow-demo-tokens] [--allow-shared-tokens]\n' +
  '  --out                  write the table to this file, mode 0600, instead of standard output\n' +
  '  --allow-demo-tokens    accept the public demo tokens (only to encode the demo table itself)\n' +
  '  --allow-shared-tokens  accept one token for several combinations\n';

let cachedFormat;
let cachedPublicDigests;

/** Mask, vocabulary and token bounds, shared with the module's build. */
function loadFormat() {
  if (cachedFormat) return cachedFormat;
  const where = path.relative(process.cwd(), FORMAT_FILE) || FORMAT_FILE;
  const raw = JSON.parse(fs.readFileSync(FORMAT_FILE, 'utf8'));
  const bad = (what) => new Error(`${where}: ${what}`);

  if (typeof raw.tokenMask !== 'string' || !/^0x[0-9A-Fa-f]{2}$/.test(raw.tokenMask)) {
    throw bad('tokenMask must be one byte written as "0xHH"');
  }
  const platforms = new Map();
  if (raw.platforms === null || typeof raw.platforms !== 'object' || Array.isArray(raw.platforms)) {
    throw bad('platforms must map platform names to lists of user types');
  }
  for (const [platform, userTypes] of Object.entries(raw.platforms)) {
    if (!Array.isArray(userTypes) || !userTypes.every((u) => typeof u === 'string' && u !== '')) {
      throw bad(`platforms.${platform} must be a list of user-type names`);
    }
    platforms.set(platform, userTypes);
  }
  const { min, max } = raw.tokenBytes ?? {};
  if (!Number.isInteger(min) || !Number.isInteger(max) || min < 1 || max < min) {
    throw bad('tokenBytes must give integer bounds {min, max} with 1 <= min <= max');
  }
  cachedFormat = { mask: Number.parseInt(raw.tokenMask.slice(2), 16), platforms, min, max };
  return cachedFormat;
}

/** SHA-256 digests (hex) of the public demo tokens, which anyone can read. */
function loadPublicDigests() {
  if (cachedPublicDigests) return cachedPublicDigests;
  const where = path.relative(process.cwd(), PUBLIC_DIGESTS_FILE) || PUBLIC_DIGESTS_FILE;
  const { sha256 } = JSON.parse(fs.readFileSync(PUBLIC_DIGESTS_FILE, 'utf8'));
  // An empty or mangled list would let every demo token through.
  if (!Array.isArray(sha256) || sha256.length === 0 || !sha256.every((d) => /^[0-9a-f]{64}$/.test(d))) {
    throw new Error(`${where}: sha256 must be a non-empty list of SHA-256 digests in lowercase hex`);
  }
  cachedPublicDigests = new Set(sha256);
  return cachedPublicDigests;
}

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
  if (!(tokenBuffer instanceof Uint8Array)) throw new TypeError('token must be a Buffer or Uint8Array');
  if (!Number.isInteger(mask) || mask < 0 || mask > 255) throw new RangeError('mask must be an integer from 0 to 255');
  if (!(key instanceof Uint8Array) || key.length !== KEY_BYTES) throw new RangeError(`key must be ${KEY_BYTES} bytes`);
  if (!(iv instanceof Uint8Array) || iv.length !== IV_BYTES) throw new RangeError(`iv must be ${IV_BYTES} bytes`);

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

// --- refusals -------------------------------------------------------------

const quote = (name) => JSON.stringify(name.length > 64 ? `${name.slice(0, 64)}...` : name);
const segment = (name) => (/^[A-Za-z0-9._:-]{1,64}$/.test(name) ? name : quote(name));
const showPath = (names) => names.map(segment).join('/');

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

function lineColumn(text, offset) {
  const before = text.slice(0, offset);
  const line = before.split('\n').length;
  return { line, column: offset - before.lastIndexOf('\n') };
}

/**
 * The object-key path enclosing a character offset, found by a light scan that
 * also works on text the parsers reject.
 */
function pathAt(text, offset) {
  const stack = [];
  let pendingKey;
  for (let i = 0; i < text.length && i < offset; i++) {
    const top = stack[stack.length - 1];
    const c = text[i];
    if (c === '"') {
      let j = i + 1;
      while (j < text.length && text[j] !== '"') j += text[j] === '\\' ? 2 : 1;
      if (top?.isObject && top.expectKey) {
        try {
          pendingKey = JSON.parse(text.slice(i, j + 1));
        } catch {
          pendingKey = text.slice(i + 1, j);
        }
      }
      if (offset <= j) break;
      i = j;
    } else if (c === '{' || c === '[') {
      stack.push({ isObject: c === '{', expectKey: c === '{', key: undefined });
    } else if (c === '}' || c === ']') {
      stack.pop();
    } else if (c === ':' && top?.isObject) {
      top.key = pendingKey;
      top.expectKey = false;
    } else if (c === ',' && top?.isObject) {
      top.key = undefined;
      top.expectKey = true;
    }
  }
  return stack.filter((f) => f.isObject && f.key !== undefined).map((f) => f.key);
}

function locate(text, offset) {
  const { line, column } = lineColumn(text, offset);
  const names = pathAt(text, offset);
  return `line ${line}, column ${column}${names.length ? ` (in ${showPath(names)})` : ''}`;
}

function decodeUtf8(bytes) {
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(bytes);
  } catch {
    // Find the first bad byte: a streamed decode tolerates only an unfinished
    // sequence at the end, so failing prefixes are exactly the long ones.
    let lo = 1;
    let hi = bytes.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      try {
        new TextDecoder('utf-8', { fatal: true }).decode(bytes.subarray(0, mid), { stream: true });
        lo = mid + 1;
      } catch {
        hi = mid;
      }
    }
    const lenient = new TextDecoder('utf-8').decode(bytes);
    const offset = new TextDecoder('utf-8').decode(bytes.subarray(0, lo - 1)).length;
    throw new Error(`input is not valid UTF-8 text: bad byte at ${locate(lenient, offset)}`);
  }
}

function parseJson(text) {
  // JSON.parse is the strict judge (it refuses raw control characters that the
  // AST parser lets through); its message can quote the input, so only its
  // position is used.
  try {
    JSON.parse(text);
  } catch (err) {
    // The parser's message can quote the input, so it is not kept as the cause.
    // eslint-disable-next-line preserve-caught-error
    if (text.trim() === '') throw new Error('input is empty: expected a JSON object of hosts');
    let offset = Number(/at position (\d+)/.exec(err.message)?.[1] ?? NaN);
    if (Number.isNaN(offset)) {
      try {
        momoa.parse(text);
        offset = text.length;
      } catch (astErr) {
        offset = Number.isInteger(astErr.offset) ? astErr.offset : text.length;
      }
    }
    // eslint-disable-next-line preserve-caught-error -- as above
    throw new Error(`input is not valid JSON: error at ${locate(text, offset)}`);
  }
  return momoa.parse(text, { mode: 'json' });
}

/** Members of an object node, refusing empty and duplicate keys. */
function membersOf(node, parentNames, what) {
  const seen = new Map();
  const where = parentNames.length ? ` under ${showPath(parentNames)}` : '';
  for (const member of node.members) {
    const name = member.name.value;
    const line = member.name.loc.start.line;
    if (name === '') throw new Error(`empty ${what} name${where} (line ${line})`);
    if (seen.has(name)) {
      throw new Error(`duplicate ${what} ${showPath([...parentNames, name])} (lines ${seen.get(name)} and ${line})`);
    }
    seen.set(name, line);
  }
  return node.members.map((m) => [m.name.value, m.value]);
}

function checkHostName(host) {
  const named = `host name ${quote(host)}`;
  if (host in Object.prototype) {
    throw new Error(`${named} is reserved: every JavaScript object inherits a property of that name`);
  }
  const match = /^([^:]*)(?::(0|[1-9][0-9]{0,4}))?$/.exec(host);
  const labels = match?.[1].split('.') ?? [];
  const plain =
    match &&
    match[1].length <= 253 &&
    labels.every((l) => /^[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?$/.test(l)) &&
    !/^[0-9]+$/.test(match[1]) &&
    (match[2] === undefined || (Number(match[2]) >= 1 && Number(match[2]) <= 65535));
  if (!plain) {
    throw new Error(`${named} is not a plain DNS name (letters, digits, hyphens and dots, optionally :port)`);
  }
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

function checkVocabulary(names, platforms) {
  const [, platform, userType] = names;
  const where = showPath(names);
  const known = [...platforms.keys()];
  if (!platforms.has(platform)) {
    throw new Error(
      `${where}: unknown platform ${quote(platform)}; ${didYouMean(platform, known)}known platforms: ` +
        `${known.join(', ')} (names are case-sensitive)`,
    );
  }
  if (userType === undefined) return;
  const allowed = platforms.get(platform);
  if (allowed.includes(userType)) return;
  if ([...platforms.values()].some((list) => list.includes(userType))) {
    throw new Error(
      `${where}: user type ${userType} does not exist under platform ${platform}; ${platform} has: ` +
        `${allowed.join(', ')}`,
    );
  }
  throw new Error(
    `${where}: unknown user type ${quote(userType)}; ${didYouMean(userType, allowed)}user types under ${platform}: ` +
      `${allowed.join(', ')} (names are case-sensitive)`,
  );
}

function checkToken(node, names, format) {
  const where = showPath(names);
  if (node.type !== 'String') {
    const hint = node.type === 'Array' ? ' (is this file already encoded?)' : '';
    throw new Error(`${where}: the token must be a string, found ${kindOf(node)}${hint}`);
  }
  const token = node.value;
  if (!token.isWellFormed())
    throw new Error(`${where}: token is not valid Unicode text (it holds an unpaired surrogate)`);
  const bytes = Buffer.from(token, 'utf8');
  if (bytes.includes(0)) throw new Error(`${where}: token contains a NUL byte, which would cut it short`);
  if (bytes.length < format.min) {
    throw new Error(
      `${where}: token has ${bytes.length} bytes; tokens need at least ${format.min} bytes (UTF-8) to be encoded`,
    );
  }
  if (bytes.length > format.max) {
    throw new Error(
      `${where}: token has ${bytes.length} bytes; tokens may have at most ${format.max} bytes (UTF-8), bcrypt ` +
        `ignores the rest`,
    );
  }
  return bytes;
}

// "a", "a and b", "a, b and c", "a, b, c, d and 7 more"
function listPaths(paths, limit = 4) {
  const shown = paths.slice(0, limit).map(showPath);
  if (paths.length > limit) return `${shown.join(', ')} and ${paths.length - limit} more`;
  return shown.length === 1 ? shown[0] : `${shown.slice(0, -1).join(', ')} and ${shown[shown.length - 1]}`;
}

// A public demo token lets anyone make codes; one token at several
// combinations lets a code for one (say staging) open the others.
function checkTokenReuse(leaves, { allowDemoTokens, allowSharedTokens }) {
  const publicDigests = loadPublicDigests();
  const byDigest = new Map();
  for (const { names, bytes } of leaves) {
    const digest = crypto.createHash('sha256').update(bytes).digest('hex');
    if (!byDigest.has(digest)) byDigest.set(digest, []);
    byDigest.get(digest).push(names);
  }
  if (!allowDemoTokens) {
    const demo = [...byDigest].filter(([digest]) => publicDigests.has(digest)).flatMap(([, paths]) => paths);
    if (demo.length > 0) {
      const [token, it] = demo.length === 1 ? ['token', 'it'] : ['tokens', 'them'];
      throw new Error(
        `${listPaths(demo)}: public demo ${token} (tokens/demo-tokens.json), so anyone can make valid codes for ` +
          `${it}; use tokens of your own (--allow-demo-tokens only to encode the demo table itself)`,
      );
    }
  }
  if (!allowSharedTokens) {
    const shared = [...byDigest.values()].filter((paths) => paths.length > 1);
    if (shared.length > 0) {
      const more = shared.length - 1;
      const others = more > 0 ? ` (and ${more} other shared token${more === 1 ? '' : 's'})` : '';
      throw new Error(
        `${listPaths(shared[0])} have the same token${others}, so a code for one is valid for the ` +
          `${shared[0].length === 2 ? 'other' : 'others'}; give each combination its own token ` +
          '(--allow-shared-tokens if this is intended)',
      );
    }
  }
}

/**
 * Encodes a whole plain token table.
 * @param {Buffer|Uint8Array|string} plainJsonText host -> platform -> userType -> token
 * @param {{allowDemoTokens?: boolean, allowSharedTokens?: boolean}} [options] accept public demo tokens, or one
 *   token at several combinations, instead of refusing them
 * @returns {Record<string, Record<string, Record<string, string[]>>>}
 */
function encodeTable(plainJsonText, { allowDemoTokens = false, allowSharedTokens = false } = {}) {
  const format = loadFormat();
  let text;
  if (typeof plainJsonText === 'string') text = plainJsonText.replace(/^\uFEFF/, '');
  else if (plainJsonText instanceof Uint8Array) text = decodeUtf8(plainJsonText);
  else throw new TypeError('plainJsonText must be a string or a Buffer');

  const root = parseJson(text).body;
  if (root.type !== 'Object') throw new Error(`the table must be a JSON object of hosts, found ${kindOf(root)}`);

  // Check everything before encoding anything, so that a refusal costs no
  // crypto. Names are checked before they become keys (no __proto__ and the like).
  const table = {};
  const leaves = [];
  for (const [host, hostNode] of membersOf(root, [], 'host')) {
    checkHostName(host);
    if (hostNode.type !== 'Object')
      throw new Error(`${showPath([host])}: platforms must be a JSON object, found ${kindOf(hostNode)}`);
    table[host] = {};
    for (const [platform, platformNode] of membersOf(hostNode, [host], 'platform')) {
      checkVocabulary([host, platform], format.platforms);
      if (platformNode.type !== 'Object') {
        throw new Error(
          `${showPath([host, platform])}: user types must be a JSON object, found ${kindOf(platformNode)}`,
        );
      }
      table[host][platform] = {};
      for (const [userType, leaf] of membersOf(platformNode, [host, platform], 'user type')) {
        const names = [host, platform, userType];
        checkVocabulary(names, format.platforms);
        leaves.push({ names, bytes: checkToken(leaf, names, format) });
      }
    }
  }

  if (leaves.length === 0) throw new Error('the table is empty: it holds no token');
  checkTokenReuse(leaves, { allowDemoTokens, allowSharedTokens });

  for (const { names, bytes } of leaves) {
    const [host, platform, userType] = names;
    try {
      table[host][platform][userType] = encodeToken(bytes, format.mask);
    } catch (err) {
      throw new Error(`${showPath(names)}: ${err.message}`, { cause: err });
    }
  }
  return table;
}

/** JSON text of an encoded table: two-space indent, one leaf array per line. */
function formatTable(table) {
  // Leaves hold numerals only and names never hold brackets, so each [...] is one leaf.
  const text = JSON.stringify(table, null, 2).replace(/\[[^\]]*\]/g, (leaf) => JSON.stringify(JSON.parse(leaf)));
  return `${text}\n`;
}

function kindOfFile(stats) {
  if (stats.isSymbolicLink()) return 'a symbolic link';
  if (stats.isDirectory()) return 'a directory';
  if (stats.isFIFO()) return 'a FIFO';
  if (stats.isSocket()) return 'a socket';
  if (stats.isCharacterDevice() || stats.isBlockDevice()) return 'a device';
  return 'not a regular file';
}

// Renaming over a device, FIFO or symbolic link would replace it with a
// regular file (run as root, --out /dev/null replaces the device node).
function refuseIrregularTarget(target) {
  const stats = fs.lstatSync(target, { throwIfNoEntry: false });
  if (stats && !stats.isFile()) {
    throw new Error(`it is ${kindOfFile(stats)}; --out must name a regular file or a new one`);
  }
}

// Written beside the target and renamed over it, so that a failure never
// leaves a truncated table behind. The table yields every token to whoever can
// read it: owner-only, whatever the umask.
function writeFileAtomic(target, text) {
  const resolved = path.resolve(target);
  refuseIrregularTarget(resolved);
  const temp = path.join(
    path.dirname(resolved),
    `.${path.basename(resolved)}.${process.pid}.${crypto.randomBytes(6).toString('hex')}.tmp`,
  );
  try {
    const fd = fs.openSync(temp, 'wx', 0o600);
    try {
      fs.fchmodSync(fd, 0o600); // exactly, whatever the umask took away
      fs.writeFileSync(fd, text);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    // Again just before the rename, to narrow the window for a swap.
    refuseIrregularTarget(resolved);
    fs.renameSync(temp, resolved);
  } catch (err) {
    fs.rmSync(temp, { force: true });
    throw err;
  }
}

/**
 * Command-line entry. Returns the exit status: 0 done, 1 refused or failed, 2 usage.
 * @param {string[]} argv arguments after the script name
 */
function main(argv) {
  let args;
  try {
    args = parseArgs({
      args: argv,
      allowPositionals: true,
      options: {
        out: { type: 'string', short: 'o' },
        'allow-demo-tokens': { type: 'boolean' },
        'allow-shared-tokens': { type: 'boolean' },
        help: { type: 'boolean', short: 'h' },
      },
    });
  } catch (err) {
    process.stderr.write(`encode-table: ${err.message}\n${USAGE}`);
    return 2;
  }
  if (args.values.help) {
    process.stdout.write(USAGE);
    return 0;
  }
  const usageError =
    args.positionals.length !== 1
      ? 'expected exactly one input file'
      : args.values.out === ''
        ? '--out needs a file name'
        : '';
  if (usageError) {
    process.stderr.write(`encode-table: ${usageError}\n${USAGE}`);
    return 2;
  }
  const [input] = args.positionals;
  const { out } = args.values;

  let plain;
  try {
    plain = fs.readFileSync(input);
  } catch (err) {
    process.stderr.write(`encode-table: cannot read ${input}: ${err.code ?? err.message}\n`);
    return 1;
  }
  let text;
  try {
    text = formatTable(
      encodeTable(plain, {
        allowDemoTokens: args.values['allow-demo-tokens'] === true,
        allowSharedTokens: args.values['allow-shared-tokens'] === true,
      }),
    );
  } catch (err) {
    process.stderr.write(`encode-table: ${err.message}\n`);
    return 1;
  }

  if (out === undefined) {
    process.stdout.write(text);
    return 0;
  }
  try {
    writeFileAtomic(out, text);
  } catch (err) {
    process.stderr.write(`encode-table: cannot write ${out}: ${err.code ?? err.message}\n`);
    return 1;
  }
  return 0;
}

module.exports = { encodeToken, encodeTable, formatTable, main };

if (require.main === module) process.exitCode = main(process.argv.slice(2));
