'use strict';

// The argument rule of the native functions, applied before any work is queued.
// The texts come from the same file the native build compiles in.

const { messages } = require('./native-messages');

const areStrings = (args, count) => args.length === count && args.every((arg) => typeof arg === 'string');

function validateRequestArgumentsError(args) {
  return areStrings(args, 4) ? undefined : new TypeError(messages.validateRequestArguments);
}

function generateAuthCodeArgumentsError(args) {
  return areStrings(args, 3) ? undefined : new TypeError(messages.generateAuthCodeArguments);
}

module.exports = { validateRequestArgumentsError, generateAuthCodeArgumentsError };
