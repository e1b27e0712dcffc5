'use strict';

// Runs one code block of the README as a program: node readme-harness.js <file>.
// Every server it starts listens on a free loopback port instead of the one
// it names; once the block has run and its servers are up, the harness closes
// those servers and the default validator, and the process must then end by
// itself.

const dns = require('node:dns');
const net = require('node:net');
const { pathToFileURL } = require('node:url');

// The block is done once its servers are listening, nothing it started is
// pending (a host name lookup, as a framework makes before it listens; a
// fetch, as a block that tries its own server makes; a request to one of its
// servers), and nothing has happened for a while.
const QUIET_MS = 300;
const MAX_WAIT_MS = 15_000;
const servers = new Set();
let lastActivity = Date.now();
let pending = 0;

function started() {
  pending += 1;
  lastActivity = Date.now();
}
function ended() {
  pending -= 1;
  lastActivity = Date.now();
}

const lookup = dns.lookup;
dns.lookup = function countedLookup(...args) {
  const callback = args.pop();
  started();
  return lookup.call(this, ...args, (...results) => {
    ended();
    callback(...results);
  });
};

const fetch = globalThis.fetch;
globalThis.fetch = async function countedFetch(...args) {
  started();
  try {
    return await fetch.apply(this, args);
  } finally {
    ended();
  }
};

const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function listenOnLoopback(...args) {
  servers.add(this);
  lastActivity = Date.now();
  // HTTP servers: a request being answered keeps the block running.
  this.on('request', (req, res) => {
    started();
    res.once('close', ended);
  });
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
    (pending > 0 || Date.now() - lastActivity < QUIET_MS || [...servers].some((server) => !server.listening))
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
