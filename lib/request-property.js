'use strict';

// The middleware's `requestProperty` option: where a checked request keeps
// who it was authenticated as. The name is written on every request that
// passes, so it must be a plain new property there: an identifier, and never
// one that Node.js's request or a framework's already has (writing `query` on
// an Express 5 request throws; writing `headers` or `socket` breaks the
// request), or that names the object's own machinery.

const http = require('node:http');
const { optionError } = require('./options');

const IDENTIFIER = /^[A-Za-z$][A-Za-z0-9_$]*$/;
const LONGEST = 64;

// What Express (4 and 5: its request object and router) and Fastify (its
// Request and the fields every request gets) put on a request, besides what
// node:http's IncomingMessage and node:http2's compatibility request have.
const FRAMEWORK_PROPERTIES = new Set([
  // Express
  'app',
  'res',
  'next',
  'baseUrl',
  'originalUrl',
  'params',
  'query',
  'body',
  'route',
  'cookies',
  'signedCookies',
  'secret',
  'get',
  'header',
  'accepts',
  'acceptsEncodings',
  'acceptsEncoding',
  'acceptsCharsets',
  'acceptsCharset',
  'acceptsLanguages',
  'acceptsLanguage',
  'range',
  'param',
  'is',
  'protocol',
  'secure',
  'ip',
  'ips',
  'subdomains',
  'path',
  'host',
  'hostname',
  'fresh',
  'stale',
  'xhr',
  // Fastify
  'id',
  'raw',
  'log',
  'server',
  'routeOptions',
  'routeConfig',
  'routeSchema',
  'is404',
  'signal',
  'port',
  'mediaType',
  'context',
  'validationError',
  'getValidationFunction',
  'compileValidationSchema',
  'validateInput',
  'getDecorator',
  'setDecorator',
  // node:http2's compatibility request
  'stream',
  'authority',
  'scheme',
]);

let nodeRequest;

/** Whether name is a property of node:http's request: its own fields, and all it inherits. */
function onNodeRequest(name) {
  nodeRequest ??= new http.IncomingMessage(null);
  return name in nodeRequest;
}

const DEFAULT_PROPERTY = 'auth';

/**
 * Checks the requestProperty option and fills in its default.
 * @returns {string}
 */
function readRequestProperty(value, where) {
  if (value === undefined) return DEFAULT_PROPERTY;
  if (typeof value !== 'string' || value.length > LONGEST || !IDENTIFIER.test(value)) {
    throw optionError(
      where,
      'requestProperty',
      `must be an identifier of at most ${LONGEST} characters (letters, digits, _ and $, not first a digit or _)`,
    );
  }
  if (FRAMEWORK_PROPERTIES.has(value) || onNodeRequest(value) || value === 'prototype') {
    throw optionError(
      where,
      'requestProperty',
      `must not be a property that requests already have: "${value}" is Node.js's, Express's or Fastify's`,
    );
  }
  return value;
}

module.exports = { readRequestProperty, DEFAULT_PROPERTY };
