'use strict';

// Loads the compiled module for this process (found by locate.js), turning
// the ways that can fail into errors that say why and what to do
// (diagnose.js), instead of a bare dlopen message.

const fs = require('node:fs');
const { loadError } = require('../errors');
const { MODULE_PATH, PREVIOUS_MODULE_PATH, MANIFEST_PATH } = require('./locate');
const { unsupportedRuntime, explainDlopenFailure, missingModule } = require('./diagnose');
const { tableInfo } = require('../table-info');

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

/**
 * The previous table's validateRequest, or undefined when the build has no
 * previous table (tableInfo().previous is null). For where checks run (the
 * pool's threads) and only for combinations that isRotated() names: the
 * package entry's exports stay the current table's alone, and nothing makes
 * codes from the previous table. Throws as load() does when the build names a
 * previous table that cannot be loaded.
 * @param {string} [modulePath]
 * @param {object | null} [previous] what tableInfo().previous says of the build
 * @returns {((auth_code: string, platform: string, userType: string, host: string) => boolean) | undefined}
 */
function loadPrevious(modulePath = PREVIOUS_MODULE_PATH, previous = tableInfo().previous) {
  if (previous === null) return undefined;
  checkPreviousPresent(modulePath, previous);
  return load(modulePath).validateRequest;
}

/**
 * Throws as loadPrevious does when the build names a previous table whose
 * module is missing, without loading it: for a validator, at start.
 * @param {string} [modulePath]
 * @param {object | null} [previous] what tableInfo().previous says of the build
 */
function checkPreviousPresent(modulePath = PREVIOUS_MODULE_PATH, previous = tableInfo().previous) {
  if (previous === null || fs.existsSync(modulePath)) return;
  throw loadError(
    `${modulePath} does not exist, and the build's manifest names a previous table ` +
      `(sha256:${previous.sha256}); rebuild, or reinstall the package, with its previous table`,
  );
}

module.exports = {
  load,
  loadPrevious,
  checkPreviousPresent,
  unsupportedRuntime,
  explainDlopenFailure,
  MODULE_PATH,
  PREVIOUS_MODULE_PATH,
  MANIFEST_PATH,
};
