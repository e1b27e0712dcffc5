'use strict';

// What the encoder shares with the module's build: the token mask, the hosts,
// the platform/user-type vocabulary and the rule a team's own follows, the
// token bounds, how an encoded text carries its key and IV, and the rule for
// host names. This side's one
// reader of shared/table_format.json. The file ships with the package; a
// broken one is this installation's fault, not the input's.

const path = require('node:path');
const { readPackageJson, brokenPackageFile } = require('./package-json');
const { vocabularyRule, platformsProblem, platformsMap } = require('./vocabulary-rule');

const FORMAT_FILE = path.join(__dirname, '..', '..', 'shared', 'table_format.json');

// Read-only package data: read once per process.
let cachedFormat;

const isCount = (value) => Number.isSafeInteger(value) && value > 0;

/** The host-name rule with its patterns compiled. */
function hostNameRule(raw, bad) {
  const { labelPattern, portPattern, maxLabelLength, maxNameLength, allDigitNamesRefused, ports } = raw ?? {};
  let patterns;
  try {
    patterns = { labelPattern: new RegExp(labelPattern), portPattern: new RegExp(portPattern) };
  } catch {
    patterns = undefined;
  }
  if (
    typeof labelPattern !== 'string' ||
    typeof portPattern !== 'string' ||
    !patterns ||
    !isCount(maxLabelLength) ||
    !isCount(maxNameLength) ||
    typeof allDigitNamesRefused !== 'boolean' ||
    !isCount(ports?.min) ||
    !isCount(ports?.max) ||
    ports.min > ports.max
  ) {
    throw bad(
      'hostNames must give labelPattern and portPattern (regular expressions), maxLabelLength and ' +
        'maxNameLength (positive integers), allDigitNamesRefused (a boolean) and ports {min, max}',
    );
  }
  return {
    ...patterns,
    maxLabelLength,
    maxNameLength,
    allDigitNamesRefused,
    ports: { min: ports.min, max: ports.max },
  };
}

/** Mask, hosts, vocabulary and its rule, token bounds, key/IV layout and host-name rule: what the build reads too. */
function loadFormat() {
  if (cachedFormat) return cachedFormat;
  const raw = readPackageJson(FORMAT_FILE);
  const bad = (what) => brokenPackageFile(FORMAT_FILE, what);

  if (raw === null || typeof raw !== 'object') throw bad('it must be a JSON object');
  if (typeof raw.tokenMask !== 'string' || !/^0x[0-9A-Fa-f]{2}$/.test(raw.tokenMask)) {
    throw bad('tokenMask must be one byte written as "0xHH"');
  }
  if (!Array.isArray(raw.hosts) || !raw.hosts.every((h) => typeof h === 'string' && h !== '')) {
    throw bad('hosts must be a list of host names');
  }
  const vocabulary = vocabularyRule(raw.vocabularyFiles, bad);
  const platformsFault = platformsProblem(raw.platforms, vocabulary);
  if (platformsFault) throw bad(platformsFault);
  const { min, max } = raw.tokenBytes ?? {};
  if (!Number.isInteger(min) || !Number.isInteger(max) || min < 1 || max < min) {
    throw bad('tokenBytes must give integer bounds {min, max} with 1 <= min <= max');
  }
  const keyIv = raw.keyIv ?? {};
  const sizes = ['keyBytes', 'ivBytes', 'outerTextBytesPerGroup', 'keyIvBytesPerGroup'];
  if (
    !sizes.every((size) => Number.isInteger(keyIv[size]) && keyIv[size] > 0) ||
    keyIv.keyBytes % keyIv.keyIvBytesPerGroup !== 0 ||
    keyIv.ivBytes % keyIv.keyIvBytesPerGroup !== 0
  ) {
    throw bad(`keyIv must give positive integers ${sizes.join(', ')}, the key and IV in whole groups`);
  }
  cachedFormat = {
    mask: Number.parseInt(raw.tokenMask.slice(2), 16),
    hosts: raw.hosts,
    platforms: platformsMap(raw.platforms),
    vocabularyRule: vocabulary,
    min,
    max,
    keyIv: Object.fromEntries(sizes.map((size) => [size, keyIv[size]])),
    hostNames: hostNameRule(raw.hostNames, bad),
  };
  return cachedFormat;
}

module.exports = { loadFormat, FORMAT_FILE };
