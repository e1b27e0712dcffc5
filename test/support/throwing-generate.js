'use strict';

// Preloaded into worker threads (execArgv: --require) where a test needs the
// native generateAuthCode to throw inside a pool thread, as it does when the
// system cannot give it a salt. The main thread keeps the real function.

const { isMainThread } = require('node:worker_threads');
const { MODULE_PATH } = require('../../lib/native');

if (!isMainThread) {
  require(MODULE_PATH).generateAuthCode = () => {
    throw new Error('Failed to generate bcrypt salt');
  };
}
