'use strict';

// How the module's lines reach standard error's reader: every line while the
// reader keeps reading, a count of the lines dropped when it does not, whole
// lines on a terminal and from several threads at once, no wait for a reader
// that stalls, and no hold on the stream once the application closes fd 2.
// Each child sends a burst of failed lookups to a FIFO, a shell pipeline, a
// pty or a file that this process (or a Python relay, for the pty) reads.
// What the lines say is tested in diagnostic-lines.test.js.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { once } = require('node:events');
const { setTimeout } = require('node:timers/promises');

const { modulePath } = require('../support/module.js');
const { runScript, stderrLines, describeExit } = require('../support/child.js');

const COUNT_LINE = /^header-validator: (\d+) diagnostic line\(s\) dropped while standard error was not being read$/;

// argv: module, number of lookups, tabs added to each host (each prints as \x09).
// Touching process.stderr makes Node.js set fd 2 non-blocking.
const burst = (touch) => `
  const hv = require(process.argv[1]);
  const [n, pad] = [Number(process.argv[2]), '\\t'.repeat(Number(process.argv[3]))];
  ${touch ? 'process.stderr;' : ''}
  for (let i = 0; i < n; i++) hv.validateRequest('', 'WEB', 'USER', 'h' + i + pad);
  process.stdout.write('burst done\\n');
`;
const lineOf = (pad) => (i) => `Host 'h${i}${'\\x09'.repeat(pad)}' not found in verificationTokenData`;

// Walks what arrived: each line must be the burst's next line, or a count of
// the lines dropped just before the next one kept (or before the end). Returns
// how many count lines there were.
function followBurst(text, n, expectedLine) {
  let next = 0;
  let counts = 0;
  for (const [at, line] of stderrLines(text).entries()) {
    const count = COUNT_LINE.exec(line);
    if (count) {
      next += Number(count[1]);
      counts++;
    } else {
      assert.equal(line, expectedLine(next), `line ${at} of what arrived`);
      next++;
    }
  }
  assert.equal(next, n, 'lines that arrived plus lines counted as dropped');
  return counts;
}

// A child whose standard error is the write end of a FIFO, blocking as a
// shell pipeline leaves it; this process holds only the read end.
function spawnOnFifo(args) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-stderr-'));
  const fifo = path.join(dir, 'stderr');
  const made = spawnSync('mkfifo', [fifo]);
  assert.equal(made.status, 0, String(made.stderr));
  const readFd = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  const writeFd = fs.openSync(fifo, fs.constants.O_WRONLY);
  let child;
  try {
    child = spawn(process.execPath, args, { stdio: ['pipe', 'pipe', writeFd] });
  } finally {
    fs.closeSync(writeFd);
    fs.rmSync(dir, { recursive: true, force: true });
  }
  const stdout = [];
  child.stdout.setEncoding('utf8').on('data', (chunk) => stdout.push(chunk));
  const printed = (text) =>
    new Promise((resolve) => {
      const look = () => (stdout.join('').includes(text) ? resolve() : child.stdout.once('data', look));
      look();
    });
  // Created only when reading starts: until then nobody reads the FIFO.
  const openStderr = () => new net.Socket({ fd: readFd, readable: true, writable: false });
  return { child, printed, openStderr, exited: once(child, 'exit') };
}

// Reads all of stream, one chunk at a time every intervalMs (0: as it comes).
function readAll(stream, intervalMs) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    stream.on('data', (chunk) => {
      chunks.push(chunk);
      if (intervalMs > 0) {
        stream.pause();
        setTimeout(intervalMs).then(() => stream.resume());
      }
    });
    stream.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    stream.on('error', reject);
  });
}

describe('diagnostic lines on standard error', { timeout: 120_000 }, () => {
  it('all reach a reader that drains the pipe every 4 ms', async () => {
    // About 1 MB of lines, within what the module holds for a slow reader.
    const n = 20_000;
    for (const touch of [false, true]) {
      const run = spawnOnFifo(['-e', burst(touch), modulePath, String(n), '0']);
      const text = await readAll(run.openStderr(), 4);
      const [status] = await run.exited;
      assert.equal(status, 0);
      assert.equal(followBurst(text, n, lineOf(0)), 0, `${touch ? 'non-blocking' : 'blocking'}: lines were dropped`);
    }
  });

  it('reach a reader that starts late, or are counted, and the count is written at exit', async () => {
    // About 4 MB: far more than the pipe and the module hold. The reader
    // starts 0.3 s after the burst, when the child is exiting.
    const n = 20_000;
    const pad = 40;
    for (const touch of [false, true]) {
      const run = spawnOnFifo(['-e', burst(touch), modulePath, String(n), String(pad)]);
      await run.printed('burst done');
      await setTimeout(300);
      const text = await readAll(run.openStderr(), 0);
      const [status] = await run.exited;
      assert.equal(status, 0);
      assert.ok(followBurst(text, n, lineOf(pad)) >= 1, 'no count line');
      assert.match(stderrLines(text).at(-1), COUNT_LINE, 'the lines dropped last were counted at exit');
    }
  });

  it('reach a terminal whole, when its writes take only part of a line', () => {
    // A pty that Python reads 4 KiB at a time every 2 ms; its slave end raw
    // (no \r added), blocking or not.
    const relay = `
import fcntl, os, subprocess, sys, time, tty
nonblocking, command = sys.argv[1] == '1', sys.argv[2:]
master, slave = os.openpty()
tty.setraw(slave)
if nonblocking:
    fcntl.fcntl(slave, fcntl.F_SETFL, fcntl.fcntl(slave, fcntl.F_GETFL) | os.O_NONBLOCK)
child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
os.close(slave)
out = bytearray()
while True:
    time.sleep(0.002)
    try:
        chunk = os.read(master, 4096)
    except OSError:  # EIO: the child has closed the terminal and all of it was read
        break
    if not chunk:
        break
    out += chunk
sys.stdout.buffer.write(out)
sys.exit(child.wait())
`;
    const n = 3000; // About 150 KB: more than a pty buffers.
    for (const nonblocking of ['0', '1']) {
      const run = spawnSync(
        'python3',
        ['-c', relay, nonblocking, process.execPath, '-e', burst(false), modulePath, String(n), '0'],
        { encoding: 'utf8', timeout: 60_000, killSignal: 'SIGKILL', maxBuffer: 16 * 1024 * 1024 },
      );
      assert.equal(run.status, 0, String(run.error ?? run.stderr));
      assert.equal(followBurst(run.stdout, n, lineOf(0)), 0, `non-blocking ${nonblocking}: lines were dropped`);
    }
  });

  it('let go of the stream when the application closes fd 2', async () => {
    // The child logs, closes fd 2, and then runs until its stdin closes.
    const script = `
      const hv = require(process.argv[1]);
      hv.validateRequest('', 'WEB', 'USER', 'before');
      require('node:fs').closeSync(2);
      hv.validateRequest('', 'WEB', 'USER', 'after');
      process.stdout.write('closed\\n');
      process.stdin.on('end', () => process.exit(0)).resume();
    `;
    const run = spawnOnFifo(['-e', script, modulePath]);
    const stderr = run.openStderr().resume();
    // Bounds a failure only: with the stream held, the end never comes.
    const guard = new AbortController();
    const ended = await Promise.race([
      once(stderr, 'end').then(() => true),
      setTimeout(10_000, false, { signal: guard.signal }).catch(() => false),
    ]);
    guard.abort();
    await run.printed('closed');
    const stillRunning = run.child.exitCode === null;
    run.child.stdin.end();
    const [status] = await run.exited;
    stderr.destroy();
    assert.equal(status, 0);
    assert.ok(ended, 'standard error did not end after the child closed fd 2');
    assert.ok(stillRunning, 'standard error ended only when the child exited');
  });

  it('never interleave when several threads write at once', () => {
    const threads = 4;
    const perThread = 300;
    const run = runScript(
      `
      const { Worker } = require('node:worker_threads');
      // Escaped tabs make each line about a kilobyte long.
      const host = (id, i) => 't' + id + ':' + i + ':' + '\\t'.repeat(240);
      const start = new Int32Array(new SharedArrayBuffer(4));
      const workers = [];
      for (let id = 1; id <= ${threads}; id++) {
        workers.push(new Worker(\`
          const { parentPort, workerData } = require('node:worker_threads');
          const hv = require(workerData.modulePath);
          const host = \${host};
          parentPort.postMessage('ready');
          Atomics.wait(workerData.start, 0, 0);
          for (let i = 0; i < ${perThread}; i++) hv.validateRequest('', 'WEB', 'USER', host(workerData.id, i));
        \`, { eval: true, workerData: { id, start, modulePath: support.modulePath } }));
      }
      const hv = require(support.modulePath);
      const ready = workers.map((w) => new Promise((resolve) => w.once('message', resolve)));
      const exited = workers.map((w) => new Promise((resolve) => w.once('exit', resolve)));
      Promise.all(ready).then(() => {
        Atomics.store(start, 0, 1);
        Atomics.notify(start, 0);
        for (let i = 0; i < ${perThread}; i++) hv.validateRequest('', 'WEB', 'USER', host(0, i));
        return Promise.all(exited);
      }).then(report);
    `,
      { timeoutMs: 60000 },
    );
    assert.equal(run.status, 0, describeExit(run));
    assert.deepEqual(run.report, Array(threads).fill(0));
    const expected = [];
    for (let id = 0; id <= threads; id++) {
      for (let i = 0; i < perThread; i++) {
        expected.push(`Host 't${id}:${i}:${'\\x09'.repeat(240)}' not found in verificationTokenData`);
      }
    }
    const lines = stderrLines(run.stderr);
    assert.equal(lines.length, expected.length);
    const misshapen = lines.filter((line) => !expected.includes(line));
    assert.equal(misshapen.length, 0, `${misshapen.length} lines are not whole, e.g. ${JSON.stringify(misshapen[0])}`);
    assert.deepEqual(lines.sort(), expected.sort());
  });

  it('cost no wait per call while the reader stalls, and report how many were dropped', () => {
    // A shell pipeline whose reader starts only after the refusals: fd 2 stays
    // blocking unless the script touches process.stderr, which Node.js then
    // makes non-blocking. Either way the 3000 refusals must not wait on the
    // reader, and once it drains the pipe the next line brings the count.
    const n = 3000;
    const line = (i) => `Host 'p${i}:${'\\x09'.repeat(100)}' not found in verificationTokenData`;
    for (const touch of ['', 'process.stderr;']) {
      const script = `
        const hv = require(${JSON.stringify(modulePath)});
        ${touch}
        const start = performance.now();
        for (let i = 0; i < ${n}; i++) hv.validateRequest('', 'WEB', 'USER', 'p' + i + ':' + '\\t'.repeat(100));
        require('node:fs').writeFileSync(process.argv[1], String(performance.now() - start));
        setTimeout(() => hv.validateRequest('', 'WEB', 'USER', 'last'), 2500);
      `;
      const msFile = path.join(os.tmpdir(), `hv-stall-${process.pid}-${touch.length}`);
      const run = spawnSync(
        'sh',
        // The reader starts once the refusals are done, however slow the machine.
        [
          '-c',
          'timeout -s KILL 20 "$0" -e "$1" "$2" 2>&1 >/dev/null | ' +
            '(i=0; while [ ! -s "$2" ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; cat)',
          process.execPath,
          script,
          msFile,
        ],
        {
          encoding: 'utf8',
          timeout: 30000,
          killSignal: 'SIGKILL',
          maxBuffer: 16 * 1024 * 1024,
        },
      );
      const ms = fs.existsSync(msFile) ? Number(fs.readFileSync(msFile, 'utf8')) : Infinity;
      fs.rmSync(msFile, { force: true });
      assert.equal(run.status, 0, `${touch || 'blocking'}: ${run.error ?? run.stderr}`);
      // Far below one millisecond of waiting per call.
      assert.ok(ms < n / 4, `${touch || 'blocking'}: ${n} refusals took ${ms} ms`);
      const lines = stderrLines(run.stdout);
      const reports = lines.filter((l) => / diagnostic line\(s\) dropped /.test(l));
      assert.equal(reports.length, 1, lines.slice(-3).join('\n'));
      const dropped = Number(/^header-validator: (\d+) /.exec(reports[0])[1]);
      const kept = lines.filter((l) => l !== reports[0]);
      assert.ok(dropped > 0);
      assert.equal(kept.length + dropped, n + 1);
      assert.equal(kept.at(-1), "Host 'last' not found in verificationTokenData");
      assert.deepEqual(
        kept.slice(0, -1),
        Array.from({ length: kept.length - 1 }, (_, i) => line(i)),
      );
    }
  });
});
