'use strict';

// Runs inside each pool thread: every thread loads its own copy of the module
// (each Node.js environment keeps its own token table). An error of the native
// call comes back as data, so that every rejection of the pool's promise is a
// failure of the pool itself.

const { validateRequest, generateAuthCode } = require('./native').load();
const errors = require('./errors');
const { isCheckFailure } = require('./native-messages');

function answer(fn, args, asPackageError = (error) => error) {
  try {
    return { value: fn(...args) };
  } catch (thrown) {
    const error = asPackageError(thrown);
    // A copy sent between threads keeps an Error's message, not its class or
    // code: the code travels beside it, for the main thread to rebuild.
    return { error, code: error?.code };
  }
}

// A check that could not hash is no answer about the code: it travels as the
// package's error, which the cache never stores and the middleware answers 503.
const checkError = (error) => (isCheckFailure(error) ? errors.hashFailed(error) : error);

exports.validateRequest = (args) => answer(validateRequest, args, checkError);
exports.generateAuthCode = (args) => answer(generateAuthCode, args);
