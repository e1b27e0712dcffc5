'use strict';

// What a received auth code must look like before it is worth hashing: this
// side's one reader of shared/auth_code_rules.json, which the native build
// compiles in, so that a code this says cannot be hashed is one the native
// module refuses without hashing.

const rules = Object.freeze(require('../shared/auth_code_rules.json'));

const escape = (chars) => chars.replace(/[\\\]^-]/g, '\\$&');
const alphabet = `[${escape(rules.alphabet)}]`;
const SHAPE = new RegExp(
  `^\\$2[${escape(rules.variants)}]\\$(\\d\\d)\\$${alphabet}{${rules.settingLength - 8}}` +
    `[${escape(rules.canonicalLastSaltChars)}]${alphabet}{${rules.length - rules.settingLength}}$`,
);

/**
 * Whether the native module would hash this code for a combination that has a
 * token: the right length, a bcrypt prefix, a cost it accepts, and characters
 * a hash can hold.
 * @param {string} code
 */
function hashableAuthCode(code) {
  if (code.length !== rules.length) return false;
  const match = SHAPE.exec(code);
  if (match === null) return false;
  const cost = Number(match[1]);
  return cost >= rules.minCost && cost <= rules.verificationCostCap;
}

// AUTH_CODE_VARIANTS: the variant letters after "$2" that a code may carry ("abxy");
// GENERATION_COST: the cost of the codes the module makes; `rules` is the whole file.
module.exports = {
  hashableAuthCode,
  AUTH_CODE_LENGTH: rules.length,
  AUTH_CODE_VARIANTS: rules.variants,
  AUTH_CODE_ALPHABET: rules.alphabet,
  GENERATION_COST: rules.generationCost,
  rules,
};
