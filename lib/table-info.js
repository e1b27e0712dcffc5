'use strict';

// The table the module was built with, as described by the manifest that the
// build writes beside it: the manifest's one reader. The manifest holds names
// and a fingerprint, never a token.

const fs = require('node:fs');
const { MANIFEST_PATH } = require('./native/locate');
const { manifestError } = require('./errors');

// The manifest cannot change while the process runs: read it once.
let cached;
let cachedLongestName;
let cachedPlaces;

function invalidManifest(manifestPath) {
  return manifestError(`the table manifest ${manifestPath} is not one the build writes`);
}

const isCount = (value) => Number.isSafeInteger(value) && value >= 0;

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
    (manifest.demoTokenLeaves !== undefined && !isCount(manifest.demoTokenLeaves))
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

/**
 * @returns {{ sha256: string, demo: boolean, demoTokens: number, hosts: Record<string, Record<string, string[]>>,
 *   combinations: {host: string, platform: string, userType: string}[], undecodable: number }}
 */
function tableInfo() {
  if (cached) return cached;
  const manifest = readManifest(MANIFEST_PATH);
  const combinations = [];
  for (const [host, platforms] of Object.entries(manifest.hosts)) {
    for (const [platform, userTypes] of Object.entries(platforms)) {
      for (const userType of userTypes) combinations.push({ host, platform, userType });
    }
  }
  const info = deepFreeze({
    sha256: manifest.sha256,
    demo: manifest.demo,
    demoTokens: demoTokenCount(manifest, combinations),
    hosts: manifest.hosts,
    combinations,
    undecodable: manifest.undecodableLeaves ?? 0,
  });
  cached = info;
  return info;
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
  return places().get(host)?.get(platform)?.has(userType) === true;
}

/** Whether the table holds this host, compared exactly, as an own name of the manifest. */
const hasHost = (host) => places().has(host);

function places() {
  if (cachedPlaces === undefined) {
    cachedPlaces = new Map();
    for (const [name, platforms] of Object.entries(tableInfo().hosts)) {
      const byPlatform = new Map();
      for (const [platformName, userTypes] of Object.entries(platforms))
        byPlatform.set(platformName, new Set(userTypes));
      cachedPlaces.set(name, byPlatform);
    }
  }
  return cachedPlaces;
}

module.exports = { tableInfo, longestNameBytes, hasCombination, hasHost, readManifest };
