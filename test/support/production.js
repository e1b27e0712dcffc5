'use strict';

// The environment of a production process that has set neither spelling of
// the switch that lets demo tokens run there, whatever the environment the
// tests themselves run in.

const PRODUCTION = Object.freeze({
  NODE_ENV: 'production',
  HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PRODUCTION: '',
  HEADER_VALIDATOR_ALLOW_DEMO: '',
});

module.exports = { PRODUCTION };
