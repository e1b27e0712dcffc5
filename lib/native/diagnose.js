'use strict';

// Why the module cannot load, in words that say what to do: a runtime it was
// not built for (checked before trying), a module file that is missing, or a
// dlopen that failed (a missing library, too old a glibc or C++ runtime, a
// file for another machine or another Node.js).

const path = require('node:path');
const { loadError } = require('../errors');
const { ROOT, MANIFEST_FILE, MODULE_PATH, located, isSourceCheckout, carriedPlatforms } = require('./locate');
const { runtimeLibc, runtimeGlibc } = require('./runtime-libc');
const { readManifest } = require('../table-info');

const REQUIRED_NAPI = 8;
const SUPPORTED = 'Linux on x86-64 or arm64 with glibc 2.28 or newer';
const fromSource = (where, note) =>
  `build it from source ${where} (README.md, 'Building from source'${note ? `; ${note}` : ''})`;

const PLATFORM_NAMES = { darwin: 'macOS', win32: 'Windows' };

/**
 * Why this runtime cannot load the module at all, before trying to. Defaults
 * describe this process; tests pass others.
 * @returns {string|undefined}
 */
function unsupportedRuntime({
  platform = process.platform,
  arch = process.arch,
  napi = process.versions.napi,
  libc,
  local = located.local,
  carried = carriedPlatforms(),
} = {}) {
  const here = `${platform}-${arch}`;
  if (platform !== 'linux') {
    return (
      `it runs on ${SUPPORTED}, and this is ${PLATFORM_NAMES[platform] ?? platform} (${here}); run it on Linux ` +
      `(a container or virtual machine will do), or ${fromSource('on such a Linux system')}`
    );
  }
  if (!(Number(napi) >= REQUIRED_NAPI)) {
    return (
      `it needs Node-API version ${REQUIRED_NAPI} (Node.js 20 or newer), and this Node.js ${process.version} ` +
      `offers ${napi ?? 'none'}; upgrade Node.js`
    );
  }
  // A local build was made here, for this system, whatever it is.
  if (local) return undefined;
  if ((libc ?? runtimeLibc()) === 'musl') {
    return (
      `the package's modules are built for glibc, and this Node.js runs on musl libc (Alpine Linux, for instance); ` +
      `run it on ${SUPPORTED} (Debian, Ubuntu, RHEL and its rebuilds, Amazon Linux), ` +
      `or ${fromSource('on this system', 'untested on musl')}`
    );
  }
  if (carried.length > 0 && !carried.includes(here)) {
    return (
      `the package carries modules for ${carried.join(' and ')}, and this is ${here}; run it on one of those, ` +
      `or ${fromSource('on this machine', `untested on ${here}`)}`
    );
  }
  return undefined;
}

// What the build says the module beside it needs, if there is a manifest to say it.
function manifestBeside(modulePath) {
  try {
    return readManifest(path.join(path.dirname(modulePath), MANIFEST_FILE));
  } catch {
    return undefined;
  }
}

/**
 * Explains a failed dlopen of an existing module file. `manifest` (what the
 * build says the module needs) and `glibc` (this system's version) default
 * to the real ones; tests pass others.
 */
function explainDlopenFailure(err, { modulePath = MODULE_PATH, manifest = manifestBeside(modulePath), glibc } = {}) {
  const message = String(err?.message ?? err);
  const hint = isSourceCheckout(path.join(path.dirname(modulePath), '..', '..'))
    ? 'run `scripts/install-build-deps.sh && npm run build` in the package'
    : `install a package packed for ${SUPPORTED}, or ${fromSource('on this system')}`;
  // The module file itself was there, so this is a library it needs.
  const library = /([^\s:/]+): cannot open shared object file: No such file/.exec(message);
  if (library) {
    return loadError(
      `it needs the system library ${library[1]}, which is missing; install it (Debian: libstdc++6 and libgcc-s1)`,
      err,
    );
  }
  const glibcVersion = /version `GLIBC_([0-9.]+)' not found/.exec(message);
  if (glibcVersion) {
    const needed = manifest?.runtime?.glibc ?? glibcVersion[1];
    return loadError(
      `it needs glibc ${needed} or newer, and this system has ${glibc ?? runtimeGlibc() ?? 'an older one'}; ` +
        `run it on ${SUPPORTED}, or ${fromSource('on the oldest system you deploy to')}`,
      err,
    );
  }
  const libstdcxx = /version `((GLIBCXX|CXXABI)_[0-9.]+)' not found/.exec(message);
  if (libstdcxx) {
    return loadError(
      `it needs ${libstdcxx[1]} from the C++ runtime (libstdc++.so.6), which this system's is too old for; ` +
        `run it on ${SUPPORTED}, or ${fromSource('on the oldest system you deploy to')}`,
      err,
    );
  }
  const notForThisMachine = new RegExp(
    "wrong ELF class|invalid ELF header|file too short|ELF file's phentsize|" +
      'cannot open shared object file: Exec format error',
    'i',
  );
  if (notForThisMachine.test(message)) {
    return loadError(`${modulePath} was built for another platform or architecture; ${hint}`, err);
  }
  if (/Module did not self-register|NODE_MODULE_VERSION|undefined symbol: napi_/.test(message)) {
    return loadError(
      `${modulePath} does not match this Node.js ${process.version} (Node-API ${REQUIRED_NAPI} is required); ${hint}`,
      err,
    );
  }
  return loadError(`${message.split('\n')[0]}; ${hint}`, err);
}

/** Why a module file that does not exist is missing, and what to do. */
function missingModule(modulePath, root = ROOT) {
  if (isSourceCheckout(root)) {
    return (
      `${modulePath} does not exist (the module has not been built); ` +
      'run `scripts/install-build-deps.sh && npm run build` in the package'
    );
  }
  return (
    `${modulePath} does not exist: the package carries no module for ${process.platform}-${process.arch}; ` +
    `install a package packed for ${SUPPORTED}, or ${fromSource('on this system')}`
  );
}

module.exports = { unsupportedRuntime, explainDlopenFailure, missingModule };
