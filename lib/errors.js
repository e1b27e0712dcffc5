'use strict';

// Every coded error the JavaScript layer makes, in one place.

function codedError(code, message, cause) {
  const err = new Error(message, cause === undefined ? undefined : { cause });
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

// The pool failed (a thread died or could not start), not the check itself.
const worker = (cause) =>
  codedError(
    'ERR_HEADER_VALIDATOR_WORKER',
    'header-validator: a worker thread failed before it could answer; try again later',
    cause,
  );

// What the client may end up seeing: the original stays in `cause`, for the
// application's own error handler only.
function host(cause) {
  const err = codedError(
    'ERR_HEADER_VALIDATOR_HOST',
    "header-validator: could not resolve this deployment's host for the request",
    cause,
  );
  err.status = 500;
  err.statusCode = 500;
  return err;
}

const demoTable = (count) =>
  codedError(
    'ERR_HEADER_VALIDATOR_DEMO_TABLE',
    `header-validator: refusing to run with NODE_ENV=production: this build's token table holds ${count} public ` +
      `demo token${count === 1 ? '' : 's'}, with which anyone can make valid auth codes. Build with your own table ` +
      '(HEADER_VALIDATOR_TABLE=/abs/path/table.json npm run build); for a throwaway environment only, set ' +
      'HEADER_VALIDATOR_ALLOW_DEMO=1.',
  );

module.exports = { overloaded, closed, worker, host, demoTable };
