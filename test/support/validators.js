'use strict';

// Validators made by a test file, all closed when the file's tests are done,
// so that no pool outlives them.

const { after } = require('node:test');

function closedAfterTests(createValidator) {
  const made = [];
  after(() => Promise.all(made.map((v) => v.close())));
  return (options) => {
    const validator = createValidator(options);
    made.push(validator);
    return validator;
  };
}

module.exports = { closedAfterTests };
