'use strict';

// The overlap of a token rotation as one validator sees it: which tokens a
// combination's codes may match now, and when a code of a previous token last
// validated, for operators who watch the old clients go.
//
// A build may carry a previous table (table-info.js): for the combinations it
// rotates, codes of the previous token stay valid until the build's end of the
// overlap, checked against the clock on every call, after which the previous
// table verifies nothing. It can be retired before: createValidator({ previous:
// false }), or HEADER_VALIDATOR_PREVIOUS=off for every validator of a process.

const errors = require('./errors');
const { printableName } = require('./printable-name');
const { tableInfo, isRotated, rotatedCombinations } = require('./table-info');

const SWITCH = 'HEADER_VALIDATOR_PREVIOUS';
const ENDED_WARNING = 'HEADER_VALIDATOR_PREVIOUS_ENDED';

/** The tokens a combination's codes may match: its current one alone, or its previous one too. */
const CURRENT_ONLY = Object.freeze(['current']);
const CURRENT_AND_PREVIOUS = Object.freeze(['current', 'previous']);

// The end of the overlap is told once per process, whichever validator sees it first.
let endTold = false;

function tellEnd(until) {
  if (endTold) return;
  endTold = true;
  process.emitWarning(
    `header-validator: the previous token table's overlap ended at ${until}: codes of previous tokens are ` +
      'refused from now on. Ship a build without the previous table.',
    { code: ENDED_WARNING },
  );
}

/**
 * Whether HEADER_VALIDATOR_PREVIOUS leaves the previous table on: unset or
 * empty, yes; `off`, no; anything else is an error, so that a misspelt switch
 * never leaves old tokens valid unnoticed.
 * @param {Record<string, string | undefined>} [env]
 */
function previousSwitchOn(env = process.env) {
  const value = env[SWITCH];
  if (value === undefined || value === '') return true;
  if (value === 'off') return false;
  throw errors.environment(
    SWITCH,
    printableName(value),
    "a value it takes: 'off' refuses codes of previous tokens at once; unset or empty, they are " +
      "valid until the end of the build's overlap",
  );
}

/**
 * @param {{ retired: boolean, clock?: { now(): number } }} settings retired: the previous table verifies
 *   nothing; clock: for tests only, the time in milliseconds since the epoch (default Date)
 */
function createRotation({ retired, clock = Date }) {
  const { previous } = tableInfo();
  const until = previous === null ? -Infinity : Date.parse(previous.until);
  const active = previous !== null && !retired;

  // When a code of each rotated combination's previous token last validated (ms, or null).
  const seen = new Map();
  for (const combination of rotatedCombinations()) {
    const { host, platform, userType } = combination;
    if (!seen.has(host)) seen.set(host, new Map());
    const byPlatform = seen.get(host);
    if (!byPlatform.has(platform)) byPlatform.set(platform, new Map());
    byPlatform.get(platform).set(userType, { combination, at: null });
  }

  function previousAcceptedNow() {
    if (!active) return false;
    if (clock.now() < until) return true;
    tellEnd(previous.until);
    return false;
  }
  // Said when the validator is made, if the end has already passed.
  previousAcceptedNow();

  return {
    /**
     * The tokens that a code for this combination may match now: the current
     * one, and while the overlap lasts the previous one of a rotated
     * combination. A combination that the current table lacks is never rotated.
     * @returns {readonly ('current' | 'previous')[]}
     */
    acceptedTokens(host, platform, userType) {
      return isRotated(host, platform, userType) && previousAcceptedNow() ? CURRENT_AND_PREVIOUS : CURRENT_ONLY;
    },
    /** Whether codes of previous tokens are accepted now, for the combinations that have one. */
    previousAccepted: previousAcceptedNow,
    /** Notes that a code of this combination's previous token validated now. */
    record(host, platform, userType) {
      const slot = seen.get(host)?.get(platform)?.get(userType);
      if (slot !== undefined) slot.at = clock.now();
    },
    /** What rotation() returns: a new object, the caller's to keep. */
    status() {
      const combinations = [];
      for (const byPlatform of seen.values()) {
        for (const byUserType of byPlatform.values()) {
          for (const { combination, at } of byUserType.values()) {
            combinations.push({ ...combination, lastValidAt: at === null ? null : new Date(at).toISOString() });
          }
        }
      }
      return {
        until: previous?.until ?? null,
        accepted: previousAcceptedNow(),
        retired: previous !== null && retired,
        combinations,
      };
    },
  };
}

module.exports = { createRotation, previousSwitchOn, SWITCH, ENDED_WARNING };
