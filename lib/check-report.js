'use strict';

// What a validator tells about its checks: one message per check on the
// diagnostics channel `header-validator:check`, for whoever subscribes, and
// counters of outcomes by reason, read through stats(). Both come from the one
// place that finishes a check (validateRequestAsync, or the middleware), so a
// check that the middleware hands to the validator is told once.
//
// A message never holds the auth code. Nothing is measured or built while
// nobody subscribes.

const diagnosticsChannel = require('node:diagnostics_channel');
const { performance } = require('node:perf_hooks');
const { REFUSAL_REASONS, SHED_REASONS, ERROR_REASONS } = require('./check-answer');

const CHANNEL_NAME = 'header-validator:check';
const channel = diagnosticsChannel.channel(CHANNEL_NAME);

// A message carries names of up to this many characters as received, and
// any name of the table whole; a longer one names nothing in the table and is
// cut, with a mark that no table name holds.
const MESSAGE_NAME_LIMIT = 256;
const CUT_MARK = '\u2026';

// A copy, not a slice: V8 keeps a long slice pointing into its parent, and a
// subscriber that keeps the message would keep a hostile megabyte alive.
const copyOf = (text) => Buffer.from(text, 'utf16le').toString('utf16le');

/** A received name as a message carries it: the string itself, or a cut copy when longer than limit. */
function messageName(name, limit) {
  if (typeof name !== 'string') return null;
  return name.length <= limit ? name : copyOf(name.slice(0, limit)) + CUT_MARK;
}

/** When a check starts: a time for its message's durationMs, or undefined while nobody subscribes. */
const checkStart = () => (channel.hasSubscribers ? performance.now() : undefined);

const zeros = (names) => Object.fromEntries(names.map((name) => [name, 0]));

function createCheckCounters() {
  return {
    valid: 0,
    // Of those, by the token the code matched.
    validByToken: { current: 0, previous: 0 },
    invalid: zeros(REFUSAL_REASONS),
    shed: zeros(SHED_REASONS),
    error: zeros(ERROR_REASONS),
    cacheHits: 0,
    coalesced: 0,
    bcryptChecks: 0,
  };
}

/** A copy of the counters, for stats(): the caller may keep or change it. */
function snapshot(counters) {
  return {
    ...counters,
    validByToken: { ...counters.validByToken },
    invalid: { ...counters.invalid },
    shed: { ...counters.shed },
    error: { ...counters.error },
  };
}

/**
 * Counts a finished check and, when someone subscribes, publishes its message.
 * @param {object} counters from createCheckCounters
 * @param {number} nameLimit the longest name a message carries whole: at least the longest name of the table
 * @param {{ outcome: string, reason: string | null, cache: string, token: string | null }} answer
 * @param {number | undefined} start from checkStart
 */
function reportCheck(counters, nameLimit, answer, host, platform, userType, start) {
  if (answer.outcome === 'valid') {
    counters.valid++;
    counters.validByToken[answer.token]++;
  } else counters[answer.outcome][answer.reason]++;
  if (answer.cache === 'hit') counters.cacheHits++;
  else if (answer.cache === 'coalesced') counters.coalesced++;
  if (start === undefined || !channel.hasSubscribers) return;
  channel.publish({
    host: messageName(host, nameLimit),
    platform: messageName(platform, nameLimit),
    userType: messageName(userType, nameLimit),
    outcome: answer.outcome,
    reason: answer.reason,
    cache: answer.cache,
    token: answer.token,
    durationMs: performance.now() - start,
  });
}

module.exports = { CHANNEL_NAME, MESSAGE_NAME_LIMIT, checkStart, createCheckCounters, snapshot, reportCheck };
