'use strict';

// The rule a vocabulary (platform -> list of user types) follows, as
// shared/table_format.json states it under vocabularyFiles: the table format's
// own platforms and a team's vocabulary file alike, here and in the build's
// table check (tools/table-manifest/vocabulary.cc), in the same words.

const { quote } = require('./leaf-path');

const isCount = (value) => Number.isSafeInteger(value) && value > 0;

function kindOfValue(value) {
  if (value === null) return 'null';
  if (value === undefined) return 'nothing';
  if (Array.isArray(value)) return 'an array';
  return typeof value === 'object' ? 'an object' : `a ${typeof value}`;
}

/** The rule with its pattern compiled; `bad` makes the error for a broken rule. */
function vocabularyRule(raw, bad) {
  const { namePattern, nameRule, maxPlatforms, maxUserTypesPerPlatform, maxFileBytes } = raw ?? {};
  let pattern;
  try {
    pattern = new RegExp(namePattern);
  } catch {
    pattern = undefined;
  }
  if (
    typeof namePattern !== 'string' ||
    !pattern ||
    typeof nameRule !== 'string' ||
    ![maxPlatforms, maxUserTypesPerPlatform, maxFileBytes].every(isCount)
  ) {
    throw bad(
      'vocabularyFiles must give namePattern (a regular expression), nameRule (its words) and maxPlatforms, ' +
        'maxUserTypesPerPlatform and maxFileBytes (positive integers)',
    );
  }
  return { namePattern: pattern, nameRule, maxPlatforms, maxUserTypesPerPlatform, maxFileBytes };
}

function nameProblem(name, what, rule) {
  if (typeof name !== 'string') return `${what} must be a string, found ${kindOfValue(name)}`;
  return rule.namePattern.test(name) ? '' : `${what} ${quote(name)} is not a name: names are ${rule.nameRule}`;
}

/**
 * The first fault of a vocabulary's platforms value (as JSON.parse makes it),
 * one line, or '' when it follows the rule. Platforms are taken in ascending
 * order of their names, as the build's check takes them, so that both name
 * the same fault first.
 */
function platformsProblem(platforms, rule) {
  if (platforms === null || typeof platforms !== 'object' || Array.isArray(platforms)) {
    return `platforms must be a JSON object of platform names, found ${kindOfValue(platforms)}`;
  }
  const entries = Object.entries(platforms).sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0));
  if (entries.length === 0 || entries.length > rule.maxPlatforms) {
    return `platforms must hold 1 to ${rule.maxPlatforms} platforms, not ${entries.length}`;
  }
  for (const [platform, userTypes] of entries) {
    const badPlatform = nameProblem(platform, 'platform name', rule);
    if (badPlatform) return badPlatform;
    const where = `platforms.${platform}`;
    if (!Array.isArray(userTypes) || userTypes.length === 0 || userTypes.length > rule.maxUserTypesPerPlatform) {
      return `${where} must be a list of 1 to ${rule.maxUserTypesPerPlatform} user-type names`;
    }
    const seen = new Set();
    for (const userType of userTypes) {
      const badUserType = nameProblem(userType, `${where}: user-type name`, rule);
      if (badUserType) return badUserType;
      if (seen.has(userType)) return `${where}: user type ${userType} appears twice`;
      seen.add(userType);
    }
  }
  return '';
}

/** A checked platforms value as the encoder uses it: platform -> user types, in the order given. */
const platformsMap = (platforms) => new Map(Object.entries(platforms).map(([name, types]) => [name, [...types]]));

module.exports = { vocabularyRule, platformsProblem, platformsMap };
