'use strict';

// Helpers for auth codes made by bcryptjs, an implementation independent of
// the module, and for measuring refusals against the cost of real hashing.

const { performance } = require('node:perf_hooks');
const bcrypt = require('bcryptjs');
const { demoTokens } = require('./module.js');

// A bcryptjs code ("$2b$04$...") of token at cost 4: cheap enough to check
// by the hundred.
function cheapCode(token) {
  return bcrypt.hashSync(token, 4);
}

// A cost-4 code of a demo combination's token.
function demoCode(platform, userType, host, cost = 4) {
  return bcrypt.hashSync(demoTokens[host][platform][userType], cost);
}

// The same code with its two cost digits replaced. The result no longer
// matches its token at the new cost, but every check that comes before
// hashing sees a well-formed code of that cost.
function withCost(code, cost) {
  return code.slice(0, 4) + String(cost).padStart(2, '0') + code.slice(6);
}

function withPrefix(code, prefix) {
  return prefix + code.slice(prefix.length);
}

function withCharAt(code, index, char) {
  return code.slice(0, index) + char + code.slice(index + 1);
}

// A character of the bcrypt alphabet other than the one at index.
function otherChar(code, index) {
  return code[index] === 'a' ? 'b' : 'a';
}

// The code with one hash character changed: well-formed, but it never matches.
function tamper(code) {
  return withCharAt(code, 40, otherChar(code, 40));
}

// Milliseconds of one bcryptjs hash at cost 10, the yardstick for "without
// hashing": a loop of refusals that did any hashing at cost 10 or more would
// take at least one such unit per call.
function cost10HashMs() {
  bcrypt.hashSync('warm-up', 4);
  const start = performance.now();
  bcrypt.hashSync('yardstick', 10);
  return performance.now() - start;
}

// Calls fn up to n times, giving up once budgetMs has passed, so that a
// regression that hashes on every call fails in a bounded time instead of
// running on for minutes. Returns how many calls completed and what they
// returned that was not `expected`.
function repeat(n, budgetMs, fn, expected) {
  const start = performance.now();
  let completed = 0;
  const unexpected = new Set();
  while (completed < n) {
    const result = fn(completed);
    if (result !== expected) unexpected.add(String(result));
    completed++;
    if (performance.now() - start > budgetMs) break;
  }
  return { completed, elapsedMs: performance.now() - start, unexpected: [...unexpected] };
}

module.exports = { cheapCode, demoCode, tamper, withCost, withPrefix, withCharAt, otherChar, cost10HashMs, repeat };
