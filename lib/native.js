'use strict';

// Finds the compiled module for this process and loads it, turning the ways
// that can fail into errors that say why and what to do, instead of a bare
// dlopen message.
//
// A local build (build/Release, from `npm run build` in a source checkout)
// made for this machine wins, so tests load what was just built. Otherwise
// the module comes from the package's prebuilds/<platform>-<arch>/ folder,
// which holds glibc builds for linux-x64 and linux-arm64.

const fs = require('node:fs');
const path = require('node:path');
const { loadError } = require('./errors');

const ROOT = path.join(__dirname, '..');
const MODULE_FILE = 'header_validator.node';
const MANIFEST_FILE = 'header_validator.manifest.json';

const REQUIRED_NAPI = 8;
const SUPPORTED = 'Linux on x86-64 or arm64 with glibc 2.28 or newer';
const fromSource = (where, note) =>
  `build it from source ${where} (README.md, 'Building from source'${note ? `; ${note}` : ''})`;

// ELF e_machine by process.arch, for telling a local build of another machine.
const ELF_MACHINES = { x64: 62, arm64: 183, ia32: 3, arm: 40, ppc64: 21, s390x: 22, riscv64: 243, loong64: 258 };
const PLATFORM_NAMES = { darwin: 'macOS', win32: 'Windows' };

function readAt(fd, length, position) {
  const buffer = Buffer.alloc(length);
  return buffer.subarray(0, fs.readSync(fd, buffer, 0, length, position));
}

/**
 * The machine and program interpreter of a 64-bit little-endian ELF file,
 * or undefined for anything else. Reads a few hundred bytes.
 */
function readElf(file) {
  let fd;
  try {
    fd = fs.openSync(file, 'r');
    const header = readAt(fd, 64, 0);
    if (header.length < 64 || header.readUInt32BE(0) !== 0x7f454c46 || header[4] !== 2 || header[5] !== 1) {
      return undefined;
    }
    const machine = header.readUInt16LE(18);
    const [phoff, phentsize, phnum] = [
      Number(header.readBigUInt64LE(32)),
      header.readUInt16LE(54),
      header.readUInt16LE(56),
    ];
    const table = readAt(fd, phentsize * phnum, phoff);
    for (let at = 0; at + 40 <= table.length; at += phentsize) {
      if (table.readUInt32LE(at) !== 3) continue; // PT_INTERP
      const [offset, size] = [Number(table.readBigUInt64LE(at + 8)), Number(table.readBigUInt64LE(at + 32))];
      const interpreter = readAt(fd, Math.min(size, 256), offset);
      return { machine, interpreter: interpreter.toString('latin1').replace(/\0[^]*$/, '') };
    }
    return { machine, interpreter: undefined };
  } catch {
    return undefined;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

/** 'glibc' or 'musl' for the C library this Node.js runs on (Linux only). */
function runtimeLibc() {
  // The interpreter Node.js itself was linked against: ld-linux-* or ld-musl-*.
  const interpreter = readElf(process.execPath)?.interpreter;
  if (interpreter) return /musl/.test(interpreter) ? 'musl' : 'glibc';
  return runtimeGlibc() ? 'glibc' : 'musl';
}

// Slow (a whole diagnostic report): for error messages only.
function runtimeGlibc() {
  return process.report?.getReport?.().header?.glibcVersionRuntime;
}

const isSourceCheckout = (root) => fs.existsSync(path.join(root, 'CMakeLists.txt'));

/** The prebuilds/ folders that hold a module, such as ['linux-arm64', 'linux-x64']. */
function carriedPlatforms(root = ROOT) {
  try {
    return fs
      .readdirSync(path.join(root, 'prebuilds'))
      .filter((name) => fs.existsSync(path.join(root, 'prebuilds', name, MODULE_FILE)))
      .sort();
  } catch {
    return [];
  }
}

/** Where the module for this process is: { dir, local }. */
function locate({ root = ROOT, platform = process.platform, arch = process.arch } = {}) {
  const local = path.join(root, 'build', 'Release');
  if (fs.existsSync(path.join(local, MODULE_FILE))) {
    // Passed over only when it is an ELF file for another machine; anything
    // else is tried, and a failure explained.
    const machine = readElf(path.join(local, MODULE_FILE))?.machine;
    if (machine === undefined || ELF_MACHINES[arch] === undefined || machine === ELF_MACHINES[arch]) {
      return { dir: local, local: true };
    }
  }
  return { dir: path.join(root, 'prebuilds', `${platform}-${arch}`), local: false };
}

const located = locate();
const MODULE_PATH = path.join(located.dir, MODULE_FILE);
const MANIFEST_PATH = path.join(located.dir, MANIFEST_FILE);

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

function readManifest(modulePath) {
  try {
    return JSON.parse(fs.readFileSync(path.join(path.dirname(modulePath), MANIFEST_FILE), 'utf8'));
  } catch {
    return undefined;
  }
}

/**
 * Explains a failed dlopen of an existing module file. `manifest` (what the
 * build says the module needs) and `glibc` (this system's version) default
 * to the real ones; tests pass others.
 */
function explainDlopenFailure(err, { modulePath = MODULE_PATH, manifest = readManifest(modulePath), glibc } = {}) {
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
  require('./demo-refusal').refuseDemoTableInProduction();
  try {
    return require(modulePath);
  } catch (err) {
    throw explainDlopenFailure(err, { modulePath });
  }
}

module.exports = { load, unsupportedRuntime, explainDlopenFailure, MODULE_PATH, MANIFEST_PATH };
