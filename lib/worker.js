'use strict';

// Runs inside each pool thread: every thread loads its own copy of the module
// (each Node.js environment keeps its own token table). An error of the native
// call comes back as data, so that every rejection of the pool's promise is a
// failure of the pool itself.

const { validateRequest, generateAuthCode } = require('./native').load();

function answer(fn, args) {
  try {
    return { value: fn(...args) };
  } catch (error) {
    // A copy sent between threads keeps an Error's message, not its class or
    // code: the code travels beside it, for the main thread to rebuild.
    return { error, code: error?.code };
  }
}

exports.validateRequest = (args) => answer(validateRequest, args);
exports.generateAuthCode = (args) => answer(generateAuthCode, args);
