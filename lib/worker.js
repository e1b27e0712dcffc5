'use strict';

// Runs inside each pool thread: every thread loads its own copy of the module
// (each Node.js environment keeps its own token table).

const { validateRequest, generateAuthCode } = require('./native').load();

exports.validateRequest = (args) => validateRequest(...args);
exports.generateAuthCode = (args) => generateAuthCode(...args);
