'use strict';

// Runs inside each pool thread: every thread loads its own copy of the module
// (each Node.js environment keeps its own token table), and of the previous
// table's module when a check may need it. An error of the native
// call comes back as data, so that every rejection of the pool's promise is a
// failure of the pool itself.

const native = require('./native');
const errors = require('./errors');
const { isCheckFailure } = require('./native-messages');

const { validateRequest, generateAuthCode } = native.load();
// The previous table's check, loaded by the first task that may need it.
let previousCheck;

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

// Which token the code matches: the current one, else, when the task says
// that this combination's previous token is accepted, the previous one; null
// for neither. At most two hashes, in one task.
function matchedToken(authCode, platform, userType, host, previousAccepted) {
  if (validateRequest(authCode, platform, userType, host) === true) return 'current';
  if (previousAccepted !== true) return null;
  previousCheck ??= native.loadPrevious();
  return previousCheck?.(authCode, platform, userType, host) === true ? 'previous' : null;
}

exports.validateRequest = (args) => answer(matchedToken, args, checkError);
exports.generateAuthCode = (args) => answer(generateAuthCode, args);
