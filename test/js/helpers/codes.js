'use strict';

// Auth codes for tests, made with bcryptjs from the public demo tokens. Cost 4
// keeps repeated checks cheap; the module accepts any cost up to 12.

const bcrypt = require('bcryptjs');
const demoTokens = require('../../../tokens/demo-tokens.json');

function demoCode(platform, userType, host, cost = 4) {
  return bcrypt.hashSync(demoTokens[host][platform][userType], cost);
}

// Well-formed but with a cost above the module's cap.
const withCost31 = (code) => code.replace(/^\$2[abxy]\$\d\d\$/, '$2b$31$');

function tamper(code) {
  const at = 40;
  return code.slice(0, at) + (code[at] === 'a' ? 'b' : 'a') + code.slice(at + 1);
}

function demoCombinations() {
  const all = [];
  for (const [host, platforms] of Object.entries(demoTokens)) {
    for (const [platform, userTypes] of Object.entries(platforms)) {
      for (const userType of Object.keys(userTypes)) all.push({ host, platform, userType });
    }
  }
  return all;
}

module.exports = { demoCode, withCost31, tamper, demoCombinations, demoTokens };
