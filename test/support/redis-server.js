'use strict';

// A real Redis server for a test file: Debian's redis-server (installed by
// scripts/install-build-deps.sh) on a Unix socket in a folder of its own, no
// TCP port, nothing saved to disk. It can be paused, killed and started again
// on the same socket; the test file stops it when its tests end.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// Resolves once the server says it is ready; rejects with its output if it ends first.
function launch(dir, socket) {
  const child = spawn(
    'redis-server',
    ['--port', '0', '--unixsocket', socket, '--unixsocketperm', '700', '--save', '', '--appendonly', 'no'],
    // Nothing of the test's environment: a preloaded sanitizer runtime is for the module alone.
    { cwd: dir, stdio: ['ignore', 'pipe', 'pipe'], env: { PATH: process.env.PATH } },
  );
  let output = '';
  return new Promise((resolve, reject) => {
    const onData = (chunk) => {
      output += chunk;
      if (/ready to accept connections/i.test(output)) {
        child.stdout.off('data', onData);
        child.stdout.resume();
        resolve(child);
      }
    };
    child.stdout.setEncoding('utf8').on('data', onData);
    child.stderr.setEncoding('utf8').on('data', (chunk) => (output += chunk));
    child.on('error', (err) =>
      reject(
        err.code === 'ENOENT'
          ? new Error('redis-server is not installed (scripts/install-build-deps.sh installs it)')
          : err,
      ),
    );
    child.on('exit', (code, signal) => reject(new Error(`redis-server ended (${signal ?? code}): ${output}`)));
  });
}

function ended(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => child.once('exit', resolve));
}

/** Starts a server; `socket` is its path. */
async function startRedis() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-redis-'));
  const socket = path.join(dir, 'redis.sock');
  let child = await launch(dir, socket);
  // Not left behind by a test file that ends before its after() hooks run.
  const orphaned = () => {
    child.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  };
  process.once('exit', orphaned);
  const server = {
    socket,
    pause: () => child.kill('SIGSTOP'),
    resume: () => child.kill('SIGCONT'),
    async kill() {
      child.kill('SIGKILL');
      await ended(child);
    },
    /** A new server on the same socket, after kill(). */
    async restart() {
      child = await launch(dir, socket);
    },
    async stop() {
      process.off('exit', orphaned);
      child.kill('SIGCONT');
      child.kill('SIGTERM');
      await ended(child);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  return server;
}

/**
 * For a test file: a server started before its tests and stopped after them,
 * and connected node-redis clients on it, each destroyed after the tests.
 */
function redisForTests() {
  const { before, after } = require('node:test');
  const { createClient } = require('redis');
  let server;
  before(async () => {
    server = await startRedis();
  });
  after(() => server?.stop());
  return {
    get server() {
      return server;
    },
    async client(options = {}) {
      const client = createClient({ socket: { path: server.socket, reconnectStrategy: () => 10 }, ...options });
      client.on('error', () => {});
      await client.connect();
      after(() => client.destroy());
      return client;
    },
  };
}

module.exports = { startRedis, redisForTests };
