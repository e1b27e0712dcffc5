'use strict';

// The validator behind the module-level functions and the middleware's default,
// created on first use.

const { createValidator } = require('./validator');

let instance;

module.exports = function defaultValidator() {
  instance ??= createValidator();
  return instance;
};
