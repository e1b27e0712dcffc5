'use strict';

// The table the module was built with, as described by the manifest that the
// build writes beside it. The manifest holds names and a fingerprint, never a
// token.

const fs = require('node:fs');
const { MANIFEST_PATH } = require('./native');

let cached;

function readManifest(manifestPath) {
  let manifest;
  try {
    manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
  } catch (err) {
    const why = err.code === 'ENOENT' ? 'it is missing (rebuild with `npm run build`)' : err.message;
    const error = new Error(`header-validator: cannot read the table manifest ${manifestPath}: ${why}`, { cause: err });
    error.code = 'ERR_HEADER_VALIDATOR_LOAD';
    throw error;
  }
  if (
    typeof manifest.sha256 !== 'string' ||
    typeof manifest.demo !== 'boolean' ||
    manifest.hosts === null ||
    typeof manifest.hosts !== 'object'
  ) {
    const error = new Error(`header-validator: the table manifest ${manifestPath} is not one the build writes`);
    error.code = 'ERR_HEADER_VALIDATOR_LOAD';
    throw error;
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

/**
 * @returns {{ sha256: string, demo: boolean, hosts: Record<string, Record<string, string[]>>,
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
    hosts: manifest.hosts,
    combinations,
    undecodable: manifest.undecodableLeaves ?? 0,
  });
  cached = info;
  return info;
}

module.exports = { tableInfo };
