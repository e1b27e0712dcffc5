'use strict';

// Public demo tokens let anyone in: under NODE_ENV=production the package
// refuses a build whose table holds any, unless told (for a throwaway
// environment) that this is on purpose. The loader runs this before every
// load of the native module, so that no entry (the package, the Fastify
// plugin, the command line, a validator and its threads) can get past it.
// Elsewhere the manifest is not even read.

const errors = require('./errors');
const { tableInfo } = require('./table-info');
const { DEMO_TOKEN_SWITCHES, demoSwitch } = require('./demo-switches');

const ALLOW = DEMO_TOKEN_SWITCHES.production.name;

let settled = false;

// Operators write it as they like: 'Production', ' PRODUCTION ' and the exact
// string all count.
const isProduction = (nodeEnv = process.env.NODE_ENV) =>
  typeof nodeEnv === 'string' && nodeEnv.trim().toLowerCase() === 'production';

/** Throws a HeaderValidatorError (ERR_HEADER_VALIDATOR_DEMO_TABLE), or warns once when allowed. */
function refuseDemoTableInProduction() {
  if (settled || !isProduction()) return;
  // The previous table's count too: its tokens verify where the current ones were rotated.
  const { demoTokens: current, previous } = tableInfo();
  const demoTokens = current + (previous?.demoTokens ?? 0);
  if (demoTokens > 0) {
    const allowed = demoSwitch('production');
    if (!allowed.on) throw errors.demoTable(demoTokens);
    // The pool's threads load the module too: the process says it once.
    // Required here, not at the top: node:worker_threads costs every load a millisecond.
    if (require('node:worker_threads').isMainThread) {
      if (allowed.deprecation) {
        process.emitWarning(`header-validator: ${allowed.deprecation}.`, {
          type: 'DeprecationWarning',
          code: 'HEADER_VALIDATOR_DEP_ALLOW_DEMO',
        });
      }
      process.emitWarning(
        `header-validator is running in production with ${demoTokens} public demo token` +
          `${demoTokens === 1 ? '' : 's'} in its table (${ALLOW}=1): anyone can make valid ` +
          'auth codes for them. Build with your own table (HEADER_VALIDATOR_TABLE) before deploying.',
        { code: 'HEADER_VALIDATOR_DEMO_TABLE' },
      );
    }
  }
  settled = true;
}

module.exports = { refuseDemoTableInProduction, isProduction };
