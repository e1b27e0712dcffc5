'use strict';

// Writes an encoded table to a file. Anyone who can read the table can recover
// every token in it, so the file is the owner's alone (mode 0600 whatever the
// umask), and a failure never leaves a truncated table behind.

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const TABLE_FILE_MODE = 0o600;

function kindOfFile(stats) {
  if (stats.isSymbolicLink()) return 'a symbolic link';
  if (stats.isDirectory()) return 'a directory';
  if (stats.isFIFO()) return 'a FIFO';
  if (stats.isSocket()) return 'a socket';
  if (stats.isCharacterDevice() || stats.isBlockDevice()) return 'a device';
  return 'not a regular file';
}

// Renaming over a device, FIFO or symbolic link would replace it with a
// regular file (run as root, --out /dev/null replaces the device node).
function refuseIrregularTarget(target) {
  const stats = fs.lstatSync(target, { throwIfNoEntry: false });
  if (stats && !stats.isFile()) {
    throw new Error(`it is ${kindOfFile(stats)}; --out must name a regular file or a new one`);
  }
}

/**
 * Written beside the target and renamed over it.
 * @param {string} target
 * @param {string} text
 */
function writeTableFile(target, text) {
  const resolved = path.resolve(target);
  refuseIrregularTarget(resolved);
  const temp = path.join(
    path.dirname(resolved),
    `.${path.basename(resolved)}.${process.pid}.${crypto.randomBytes(6).toString('hex')}.tmp`,
  );
  try {
    const fd = fs.openSync(temp, 'wx', TABLE_FILE_MODE);
    try {
      fs.fchmodSync(fd, TABLE_FILE_MODE); // exactly, whatever the umask took away
      fs.writeFileSync(fd, text);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    // Again just before the rename, to narrow the window for a swap.
    refuseIrregularTarget(resolved);
    fs.renameSync(temp, resolved);
  } catch (err) {
    fs.rmSync(temp, { force: true });
    throw err;
  }
}

module.exports = { writeTableFile, TABLE_FILE_MODE };
