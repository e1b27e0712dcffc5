'use strict';

// Runs a script in a separate Node.js process, for what cannot be watched
// from inside the test process: the module's lines on standard error, a
// process's exit, a preloaded library, or a call that might never return.
// The script reaches these helpers as `support` and the module path as
// `support.modulePath`; it reports by printing one JSON line with report().

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');

const PRELUDE = `
'use strict';
const support = {
  ...require(${JSON.stringify(path.join(__dirname, 'module.js'))}),
  ...require(${JSON.stringify(path.join(__dirname, 'codes.js'))}),
};
const report = (value) => process.stdout.write('\\n' + JSON.stringify(value) + '\\n');
`;

// Standard error goes to a file, not a pipe: Node.js makes a pipe on fd 2
// non-blocking, and a reader that falls behind would then decide what the
// child managed to write.
function runScript(script, { env = {}, timeoutMs = 30000 } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-child-'));
  const stderrPath = path.join(dir, 'stderr');
  // Appending, so that lines written by several threads never overwrite each other.
  const stderrFd = fs.openSync(stderrPath, 'a');
  let child;
  let stderr;
  try {
    child = spawnSync(process.execPath, ['-e', PRELUDE + script], {
      cwd: path.join(__dirname, '..', '..'),
      env: { ...process.env, ...env },
      stdio: ['ignore', 'pipe', stderrFd],
      encoding: 'utf8',
      timeout: timeoutMs,
      killSignal: 'SIGKILL',
      maxBuffer: 64 * 1024 * 1024,
    });
    stderr = fs.readFileSync(stderrPath, 'utf8');
  } finally {
    fs.closeSync(stderrFd);
    fs.rmSync(dir, { recursive: true, force: true });
  }
  if (child.error && child.error.code !== 'ETIMEDOUT') throw child.error;
  const lastLine = child.stdout.trimEnd().split('\n').pop();
  let report;
  try {
    report = JSON.parse(lastLine);
  } catch {
    report = undefined;
  }
  return {
    status: child.status,
    signal: child.signal,
    timedOut: child.error?.code === 'ETIMEDOUT',
    stdout: child.stdout,
    stderr,
    report,
  };
}

// Runs node with the given arguments from the package root and collects what it
// printed, without blocking the test process (servers in it keep answering).
// The time limit only guards against a hang; it is not a measurement.
function runNode(args, { env = {}, input, cwd = path.join(__dirname, '..', '..'), timeout = 60_000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, args, { cwd, env: { ...process.env, ...env }, timeout });
    let stdout = '';
    let stderr = '';
    child.stdout.setEncoding('utf8').on('data', (chunk) => (stdout += chunk));
    child.stderr.setEncoding('utf8').on('data', (chunk) => (stderr += chunk));
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({ status, signal, stdout, stderr }));
    child.stdin.end(input);
  });
}

// A child's standard error as lines, without the final newline's empty tail.
function stderrLines(stderr) {
  if (stderr === '') return [];
  const lines = stderr.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  return lines;
}

// A readable summary of how a child ended, for assertion messages.
function describeExit(child) {
  if (child.timedOut) return 'child process did not finish in time and was killed';
  return (
    `child exited with status ${child.status}, signal ${child.signal}; end of ` +
    `stderr:\n${child.stderr.slice(-2000)}`
  );
}

module.exports = { runScript, runNode, stderrLines, describeExit };
