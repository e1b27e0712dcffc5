'use strict';

// Runs one code block of the README as a program: node readme-harness.js <file>.
// Every server it starts listens on a free loopback port instead of the one
// it names; once the block has run (and its promises have had a moment to
// settle), the harness closes those servers and the default validator, and
// the process must then end by itself.

const net = require('node:net');
const { pathToFileURL } = require('node:url');

const SETTLE_MS = 500;
const servers = new Set();

const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function listenOnLoopback(...args) {
  servers.add(this);
  const callback = typeof args[args.length - 1] === 'function' ? args.pop() : undefined;
  return listen.call(this, { port: 0, host: '127.0.0.1' }, callback);
};

async function main(file) {
  await import(pathToFileURL(file).href);
  await new Promise((resolve) => setTimeout(resolve, SETTLE_MS));
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
