'use strict';

// Runs one code block of the README as a program: node readme-harness.js <file>.
// Every server it starts listens on a free loopback port instead of the one
// it names; once the block has run and its servers are up, the harness closes
// those servers and the default validator, and the process must then end by
// itself.

const dns = require('node:dns');
const net = require('node:net');
const { pathToFileURL } = require('node:url');

// The block is done once its servers are listening, no host name lookup (a
// framework's, before it listens) is pending, and no new server has come for a
// while.
const QUIET_MS = 300;
const MAX_WAIT_MS = 15_000;
const servers = new Set();
let lastListen = Date.now();
let lookups = 0;

const lookup = dns.lookup;
dns.lookup = function countedLookup(...args) {
  const callback = args.pop();
  lookups += 1;
  return lookup.call(this, ...args, (...results) => {
    lookups -= 1;
    lastListen = Date.now();
    callback(...results);
  });
};

const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function listenOnLoopback(...args) {
  servers.add(this);
  lastListen = Date.now();
  const callback = typeof args[args.length - 1] === 'function' ? args.pop() : undefined;
  return listen.call(this, { port: 0, host: '127.0.0.1' }, callback);
};

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function settle() {
  const start = Date.now();
  do {
    await sleep(QUIET_MS);
  } while (
    Date.now() - start < MAX_WAIT_MS &&
    (lookups > 0 || Date.now() - lastListen < QUIET_MS || [...servers].some((server) => !server.listening))
  );
}

async function main(file) {
  await import(pathToFileURL(file).href);
  await settle();
  for (const server of servers) {
    server.closeAllConnections?.();
    server.close();
  }
  await require('header-validator').close();
  // Whatever the block left open keeps the process alive: the test then fails on its time limit.
}

main(process.argv[2]).catch((err) => {
  console.error(err);
  process.exitCode = 1;
});
