'use strict';

// The texts of the native module's own errors, read from the file its build
// compiles in: this side's one reader of shared/messages.json.

const messages = Object.freeze(require('../shared/messages.json'));

/** Whether err is the native check's failure to hash a code that passed every check of its shape. */
const isCheckFailure = (err) => err instanceof Error && err.message === messages.checkFailed;

module.exports = { messages, isCheckFailure };
