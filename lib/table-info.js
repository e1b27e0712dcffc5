'use strict';

// The table the module was built with, as described by the manifest that the
// build writes beside it: the manifest's one reader. The manifest holds names
// and a fingerprint, never a token.

const fs = require('node:fs');
const { MANIFEST_PATH } = require('./native/locate');
const { manifestError } = require('./errors');

// The manifest cannot change while the process runs: read it once.
let described;
let cachedLongestName;

function invalidManifest(manifestPath) {
  return manifestError(`the table manifest ${manifestPath} is not one the build writes`);
}

const isCount = (value) => Number.isSafeInteger(value) && value >= 0;
const isObject = (value) => value !== null && typeof value === 'object';
const isNames = (value) =>
  Array.isArray(value) &&
  value.every((names) => Array.isArray(names) && names.length === 3 && names.every((n) => typeof n === 'string'));
// The form the build writes, 2027-03-01T00:00:00.000Z, and only that.
const isInstant = (value) =>
  typeof value === 'string' && Number.isFinite(Date.parse(value)) && new Date(value).toISOString() === value;

// What the build's table check writes of a previous table.
const isPrevious = (previous) =>
  isObject(previous) &&
  typeof previous.sha256 === 'string' &&
  isInstant(previous.since) &&
  isInstant(previous.until) &&
  ['rotated', 'unchanged', 'added', 'removed'].every((list) => isNames(previous[list])) &&
  isCount(previous.demoTokenLeaves);

/** The manifest at manifestPath, checked to be one the build writes; throws a manifest error. */
function readManifest(manifestPath) {
  let manifest;
  try {
    manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
  } catch (err) {
    const why = err.code === 'ENOENT' ? 'it is missing (rebuild with `npm run build`)' : err.message;
    throw manifestError(`cannot read the table manifest ${manifestPath}: ${why}`, err);
  }
  if (
    manifest === null ||
    typeof manifest !== 'object' ||
    typeof manifest.sha256 !== 'string' ||
    typeof manifest.demo !== 'boolean' ||
    manifest.hosts === null ||
    typeof manifest.hosts !== 'object' ||
    (manifest.demoTokenLeaves !== undefined && !isCount(manifest.demoTokenLeaves)) ||
    (manifest.previous !== undefined && !isPrevious(manifest.previous))
  ) {
    throw invalidManifest(manifestPath);
  }
  return manifest;
}

function deepFreeze(value) {
  if (value !== null && typeof value === 'object') {
    for (const inner of Object.values(value)) deepFreeze(inner);
    Object.freeze(value);
  }
  return value;
}

// Leaves holding a public demo token. Manifests written before the build
// counted them only say whether the whole table is the demo one.
function demoTokenCount(manifest, combinations) {
  if (manifest.demoTokenLeaves !== undefined) return manifest.demoTokenLeaves;
  if (!manifest.demo) return 0;
  return isCount(manifest.leaves) ? manifest.leaves : combinations.length;
}

// host -> platform -> user types, for exact lookups of a combination's names.
function placesOf(combinations) {
  const places = new Map();
  for (const { host, platform, userType } of combinations) {
    if (!places.has(host)) places.set(host, new Map());
    const byPlatform = places.get(host);
    if (!byPlatform.has(platform)) byPlatform.set(platform, new Set());
    byPlatform.get(platform).add(userType);
  }
  return places;
}

const placed = (places, host, platform, userType) => places.get(host)?.get(platform)?.has(userType) === true;
const asCombination = ([host, platform, userType]) => ({ host, platform, userType });

/**
 * What the package knows of a build from its manifest: the frozen tableInfo()
 * and the per-combination predicates over it.
 * @param {object} manifest as readManifest returns it
 */
function describeTable(manifest) {
  const combinations = [];
  for (const [host, platforms] of Object.entries(manifest.hosts)) {
    for (const [platform, userTypes] of Object.entries(platforms)) {
      for (const userType of userTypes) combinations.push({ host, platform, userType });
    }
  }
  const { previous } = manifest;
  const info = deepFreeze({
    sha256: manifest.sha256,
    demo: manifest.demo,
    demoTokens: demoTokenCount(manifest, combinations),
    hosts: manifest.hosts,
    combinations,
    undecodable: manifest.undecodableLeaves ?? 0,
    previous: previous
      ? {
          sha256: previous.sha256,
          since: previous.since,
          until: previous.until,
          rotated: previous.rotated.length,
          unchanged: previous.unchanged.length,
          added: previous.added.length,
          removed: previous.removed.length,
          demoTokens: previous.demoTokenLeaves,
        }
      : null,
  });
  const places = placesOf(combinations);
  const rotatedCombinations = deepFreeze((previous?.rotated ?? []).map(asCombination));
  const rotated = placesOf(rotatedCombinations);
  return {
    info,
    rotatedCombinations,
    hasCombination: (host, platform, userType) => placed(places, host, platform, userType),
    isRotated: (host, platform, userType) => placed(rotated, host, platform, userType),
    hasHost: (host) => places.has(host),
  };
}

const current = () => (described ??= describeTable(readManifest(MANIFEST_PATH)));

/**
 * @returns {{ sha256: string, demo: boolean, demoTokens: number, hosts: Record<string, Record<string, string[]>>,
 *   combinations: {host: string, platform: string, userType: string}[], undecodable: number,
 *   previous: null | { sha256: string, since: string, until: string, rotated: number, unchanged: number, added: number,
 *     removed: number, demoTokens: number } }}
 */
function tableInfo() {
  return current().info;
}

/**
 * The longest host, platform or user-type name of the table, in UTF-8 bytes.
 * A name with more UTF-16 units than this has at least as many UTF-8 bytes,
 * so it names nothing in the table.
 */
function longestNameBytes() {
  if (cachedLongestName === undefined) {
    const bytes = (name) => Buffer.byteLength(name, 'utf8');
    let longest = 0;
    for (const [host, platforms] of Object.entries(tableInfo().hosts)) {
      longest = Math.max(longest, bytes(host));
      for (const [platform, userTypes] of Object.entries(platforms)) {
        longest = Math.max(longest, bytes(platform), ...userTypes.map(bytes));
      }
    }
    cachedLongestName = longest;
  }
  return cachedLongestName;
}

/**
 * Whether the table has a place for this combination: host, platform and user
 * type as own names of the manifest, compared exactly. The module refuses any
 * other combination from its lookup, without hashing.
 */
function hasCombination(host, platform, userType) {
  return current().hasCombination(host, platform, userType);
}

/**
 * Whether the build's previous table holds another token for this
 * combination, which then verifies until tableInfo().previous.until: false
 * without a previous table, and for a combination the current table lacks
 * (a removed one stays refused) or whose token did not change. Names compared
 * exactly, as hasCombination does.
 */
function isRotated(host, platform, userType) {
  return current().isRotated(host, platform, userType);
}

/**
 * The combinations that isRotated() names, as the build listed them: frozen
 * { host, platform, userType } objects, none without a previous table.
 */
const rotatedCombinations = () => current().rotatedCombinations;

/** Whether the table holds this host, compared exactly, as an own name of the manifest. */
const hasHost = (host) => current().hasHost(host);

module.exports = {
  tableInfo,
  longestNameBytes,
  hasCombination,
  hasHost,
  isRotated,
  rotatedCombinations,
  readManifest,
};
