'use strict';

// The validator behind the module-level functions and the middleware's default,
// created on first use.

let instance;

module.exports = function defaultValidator() {
  instance ??= require('./validator').createValidator();
  return instance;
};
