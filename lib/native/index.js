'use strict';

// Loads the compiled module for this process (found by locate.js), turning
// the ways that can fail into errors that say why and what to do
// (diagnose.js), instead of a bare dlopen message.

const fs = require('node:fs');
const { loadError } = require('../errors');
const { MODULE_PATH, MANIFEST_PATH } = require('./locate');
const { unsupportedRuntime, explainDlopenFailure, missingModule } = require('./diagnose');

/**
 * Loads the module's exports: { validateRequest, generateAuthCode }. Under
 * NODE_ENV=production, refuses a build whose table holds public demo tokens.
 * @param {string} [modulePath]
 */
function load(modulePath = MODULE_PATH) {
  const unsupported = unsupportedRuntime();
  if (unsupported) throw loadError(unsupported);
  if (!fs.existsSync(modulePath)) throw loadError(missingModule(modulePath));
  // Every way to the module passes here: the refusal of a demo table in production too.
  require('../demo-refusal').refuseDemoTableInProduction();
  try {
    return require(modulePath);
  } catch (err) {
    throw explainDlopenFailure(err, { modulePath });
  }
}

module.exports = { load, unsupportedRuntime, explainDlopenFailure, MODULE_PATH, MANIFEST_PATH };
