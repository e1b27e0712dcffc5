'use strict';

// Running the pieces of a benchmark: commands, and the scripts in bench/js,
// each in its own process and writing one JSON document.

const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { ROOT } = require('../js/common');

const SCRIPTS = path.join(__dirname, '..', 'js');

function log(message) {
  process.stdout.write(`bench: ${message}\n`);
}

function run(cmd, cmdArgs, { stdio = 'inherit', what = cmd } = {}) {
  const result = spawnSync(cmd, cmdArgs, { cwd: ROOT, stdio, encoding: 'utf8', maxBuffer: 64 * 2 ** 20 });
  if (result.error) throw new Error(`${what}: ${result.error.message}`);
  if (result.status !== 0) {
    const said = typeof result.stdout === 'string' ? result.stdout.slice(-2000) : '';
    throw new Error(`${what} exited with ${result.status ?? result.signal}${said ? `\n${said}` : ''}`);
  }
  return result;
}

/**
 * Runs bench/js/<file> and returns the JSON it wrote.
 * @param {{ quick: boolean, tmp: string, quietStderr?: boolean, extra?: string[], nodeArgs?: string[] }} options
 */
function runScript(file, { quick, tmp, quietStderr = false, extra = [], nodeArgs = [] }) {
  const out = path.join(tmp, `${path.basename(file, '.js')}.json`);
  const cmdArgs = [...nodeArgs, path.join(SCRIPTS, file), `--out=${out}`, ...(quick ? ['--quick'] : []), ...extra];
  run(process.execPath, cmdArgs, { stdio: ['ignore', 'pipe', quietStderr ? 'ignore' : 'inherit'], what: file });
  return JSON.parse(fs.readFileSync(out, 'utf8'));
}

module.exports = { log, run, runScript };
