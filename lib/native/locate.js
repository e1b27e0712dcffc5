'use strict';

// Where the compiled module for this process is, and its manifest beside it.
//
// A local build (build/Release, from `npm run build` in a source checkout)
// made for this machine wins, so tests load what was just built. Otherwise
// the module comes from the package's prebuilds/<platform>-<arch>/ folder,
// which holds glibc builds for linux-x64 and linux-arm64.

const fs = require('node:fs');
const path = require('node:path');
const { readElf } = require('./elf');

const ROOT = path.join(__dirname, '..', '..');
const MODULE_FILE = 'header_validator.node';
// Built from the previous table, when the build has one, beside the module.
const PREVIOUS_MODULE_FILE = 'header_validator_previous.node';
const MANIFEST_FILE = 'header_validator.manifest.json';

// ELF e_machine by process.arch, for telling a local build of another machine.
const ELF_MACHINES = { x64: 62, arm64: 183, ia32: 3, arm: 40, ppc64: 21, s390x: 22, riscv64: 243, loong64: 258 };

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
const PREVIOUS_MODULE_PATH = path.join(located.dir, PREVIOUS_MODULE_FILE);
const MANIFEST_PATH = path.join(located.dir, MANIFEST_FILE);

module.exports = {
  ROOT,
  MODULE_FILE,
  PREVIOUS_MODULE_FILE,
  MANIFEST_FILE,
  MODULE_PATH,
  PREVIOUS_MODULE_PATH,
  MANIFEST_PATH,
  located,
  isSourceCheckout,
  carriedPlatforms,
};
