'use strict';
// The layout a packed package carries its modules in: prebuilds/<platform>-<arch>/
// (linux-x64, linux-arm64), each folder with header_validator.node, its
// manifest and its fleet key (lib/fleet-key.js), and header_validator_previous.node
// when the build has a previous table. The manifest copied there also says what
// the module needs to load (`runtime`), read with readelf from the module
// itself, so that the loader can name it on a system that cannot load the module.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { MODULE_FILE, PREVIOUS_MODULE_FILE, MANIFEST_FILE } = require('../../lib/native/locate');
const { FLEET_KEY_FILE } = require('../../lib/fleet-key');
// process.arch by readelf's name for the ELF machine.
const ARCH_BY_MACHINE = { 'Advanced Micro Devices X86-64': 'x64', AArch64: 'arm64' };

function readelf(args, file) {
  const result = spawnSync('readelf', [...args, file], { encoding: 'utf8' });
  if (result.error || result.status !== 0) {
    throw new Error(`readelf ${args.join(' ')} ${file} failed: ${result.error?.message ?? result.stderr.trim()}`);
  }
  return result.stdout;
}

const compareVersions = (a, b) => {
  const [x, y] = [a, b].map((v) => v.split('.').map(Number));
  for (let i = 0; i < Math.max(x.length, y.length); i++) {
    if ((x[i] ?? 0) !== (y[i] ?? 0)) return (x[i] ?? 0) - (y[i] ?? 0);
  }
  return 0;
};

/** What a built module needs to load: { platform, arch, libc, glibc, nodeApi }. */
function moduleRuntime(modulePath) {
  const machine = /Machine:\s+(.+)/.exec(readelf(['-h', '-W'], modulePath))?.[1].trim();
  const arch = ARCH_BY_MACHINE[machine];
  if (!arch) throw new Error(`${modulePath} is built for ${machine ?? 'an unknown machine'}, not linux-x64 or -arm64`);
  const glibc = [...readelf(['-V', '-W'], modulePath).matchAll(/Name: GLIBC_([0-9.]+)/g)]
    .map((m) => m[1])
    .sort(compareVersions)
    .pop();
  return { platform: 'linux', arch, libc: 'glibc', glibc, nodeApi: 8 };
}

/**
 * Copies the modules, manifest and fleet key of a build (its Release folder)
 * into <destRoot>/prebuilds/linux-<arch>/ and returns that folder: the previous
 * table's module too when the manifest names a previous table.
 */
function writePrebuild(releaseDir, destRoot) {
  const modulePath = path.join(releaseDir, MODULE_FILE);
  const runtime = moduleRuntime(modulePath);
  const manifest = JSON.parse(fs.readFileSync(path.join(releaseDir, MANIFEST_FILE), 'utf8'));
  const files = [MODULE_FILE, FLEET_KEY_FILE];
  if (manifest.previous) {
    const previousRuntime = moduleRuntime(path.join(releaseDir, PREVIOUS_MODULE_FILE));
    if (previousRuntime.arch !== runtime.arch) {
      throw new Error(`${releaseDir} holds modules for ${runtime.arch} and ${previousRuntime.arch}`);
    }
    files.push(PREVIOUS_MODULE_FILE);
  }
  const dir = path.join(destRoot, 'prebuilds', `${runtime.platform}-${runtime.arch}`);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  for (const file of files) fs.copyFileSync(path.join(releaseDir, file), path.join(dir, file));
  fs.writeFileSync(path.join(dir, MANIFEST_FILE), `${JSON.stringify({ ...manifest, runtime }, null, 2)}\n`);
  return dir;
}

module.exports = { MODULE_FILE, PREVIOUS_MODULE_FILE, MANIFEST_FILE, moduleRuntime, writePrebuild, compareVersions };
