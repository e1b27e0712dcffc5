'use strict';

function codedError(code, message) {
  const err = new Error(message);
  err.code = code;
  return err;
}

const overloaded = () =>
  codedError('ERR_HEADER_VALIDATOR_OVERLOADED', 'header-validator: too many checks are waiting; try again later');

const closed = () =>
  codedError(
    'ERR_HEADER_VALIDATOR_CLOSED',
    'header-validator: this validator has been closed and accepts no more calls',
  );

module.exports = { overloaded, closed };
