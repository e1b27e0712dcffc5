'use strict';

// Loads the compiled module and turns the ways that can fail into errors that
// say why and what to do, instead of a bare dlopen message.

const fs = require('node:fs');
const path = require('node:path');
const { loadError } = require('./errors');

const BUILD_DIR = path.join(__dirname, '..', 'build', 'Release');
const MODULE_PATH = path.join(BUILD_DIR, 'header_validator.node');
const MANIFEST_PATH = path.join(BUILD_DIR, 'header_validator.manifest.json');

const REQUIRED_NAPI = 8;
const REQUIRED_GLIBC = '2.36';

const BUILD_HINT =
  'run `scripts/install-build-deps.sh && npm run build` in the package, or install a build packed for this platform';

function runtimeGlibc() {
  return process.report?.getReport?.().header?.glibcVersionRuntime;
}

/**
 * Why this runtime cannot load the module at all, before trying to.
 * @returns {string|undefined}
 */
function unsupportedRuntime({ platform = process.platform, arch = process.arch, napi = process.versions.napi } = {}) {
  if (platform !== 'linux' || arch !== 'x64') {
    return `it is built for Linux x86-64 only, and this is ${platform}-${arch}; run the server on Linux x86-64`;
  }
  if (!(Number(napi) >= REQUIRED_NAPI)) {
    return (
      `it needs Node-API version ${REQUIRED_NAPI} (Node.js 20 or newer), and this Node.js ${process.version} ` +
      `offers ${napi ?? 'none'}; upgrade Node.js`
    );
  }
  return undefined;
}

/** Explains a failed dlopen of an existing module file. */
function explainDlopenFailure(err, modulePath = MODULE_PATH) {
  const message = String(err?.message ?? err);
  // The module file itself was there, so this is a library it needs.
  const library = /([^\s:/]+): cannot open shared object file: No such file/.exec(message);
  if (library) {
    return loadError(
      `it needs the system library ${library[1]}, which is missing; install it (Debian: libstdc++6 and libgcc-s1)`,
      err,
    );
  }
  const glibc = /version `GLIBC_([0-9.]+)' not found/.exec(message);
  if (glibc) {
    return loadError(
      `it needs glibc ${glibc[1]} or newer (builds here need ${REQUIRED_GLIBC}+), and this system has ` +
        `${runtimeGlibc() ?? 'an older one'}; ` +
        'run it on Debian 12 or another distribution with a newer glibc, or build it on the oldest system you ' +
        'deploy to',
      err,
    );
  }
  const notForThisMachine = new RegExp(
    "wrong ELF class|invalid ELF header|file too short|ELF file's phentsize|" +
      'cannot open shared object file: Exec format error',
    'i',
  );
  if (notForThisMachine.test(message)) {
    return loadError(`${modulePath} was built for another platform or architecture; ${BUILD_HINT}`, err);
  }
  if (/Module did not self-register|NODE_MODULE_VERSION|undefined symbol: napi_/.test(message)) {
    return loadError(
      `${modulePath} does not match this Node.js ${process.version} (Node-API ${REQUIRED_NAPI} is required); ` +
        `${BUILD_HINT}`,
      err,
    );
  }
  return loadError(`${message.split('\n')[0]}; ${BUILD_HINT}`, err);
}

/**
 * Loads the module's exports: { validateRequest, generateAuthCode }.
 * @param {string} [modulePath]
 */
function load(modulePath = MODULE_PATH) {
  const unsupported = unsupportedRuntime();
  if (unsupported) throw loadError(unsupported);
  if (!fs.existsSync(modulePath)) {
    throw loadError(`${modulePath} does not exist (the module has not been built); ${BUILD_HINT}`);
  }
  try {
    return require(modulePath);
  } catch (err) {
    throw explainDlopenFailure(err, modulePath);
  }
}

module.exports = { load, unsupportedRuntime, explainDlopenFailure, MODULE_PATH, MANIFEST_PATH };
