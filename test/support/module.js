'use strict';

// Where the tests find the module under test, and the public demo tokens its
// default build embeds. HEADER_VALIDATOR_MODULE points the whole suite at
// another build (a sanitized one, say) of the same module.

const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.join(__dirname, '..', '..');

const modulePath = process.env.HEADER_VALIDATOR_MODULE
  ? path.resolve(process.env.HEADER_VALIDATOR_MODULE)
  : path.join(__dirname, '../../build/Release/header_validator.node');

// host -> platform -> userType -> token. Public demo secrets: never log them.
const demoTokens = JSON.parse(fs.readFileSync(path.join(ROOT, 'tokens', 'demo-tokens.json'), 'utf8'));

// The same tokens as a flat list, one entry per combination, in file order.
const combinations = [];
for (const [host, platforms] of Object.entries(demoTokens)) {
  for (const [platform, userTypes] of Object.entries(platforms)) {
    for (const [userType, token] of Object.entries(userTypes)) {
      combinations.push({ host, platform, userType, token });
    }
  }
}

// Every demo token, for checking that none was printed.
const allTokens = () => combinations.map(({ token }) => token);

// The texts JavaScript sees, from their one reader.
const { messages } = require('../../lib/native-messages');

// Name of a combination for assertion messages; never includes the token.
function label({ host, platform, userType }) {
  return `${host}/${platform}/${userType}`;
}

module.exports = { modulePath, demoTokens, combinations, allTokens, messages, label, ROOT };
