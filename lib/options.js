'use strict';

// Checks of the options that the package's factories take (createValidator and
// its cache, the middleware, the Fastify hook and plugin, and the encoder's
// encodeTable), and every text of their errors: `<factory>: <option> must be
// <what>`. As in Node.js's own APIs, a value of the wrong kind or an unknown
// name is a TypeError, a number out of its range a RangeError. Each check
// throws, or returns nothing.

const mustBe = (where, name, what) => `${where}: ${name} must be ${what}`;

const isObject = (value) => value !== null && typeof value === 'object';

/** The options argument itself: an object. */
function checkOptionsObject(options, where) {
  if (!isObject(options)) throw new TypeError(`${where} options must be an object`);
}

/** The options argument of a factory that cannot do without `required`. */
function checkRequiredOptions(options, where, required) {
  if (!isObject(options)) throw new TypeError(`${where}: options are required, at least { ${required.join(', ')} }`);
}

/** An option that takes an object: `what` says which (and may list its names). */
function checkObject(value, where, name, what) {
  if (!isObject(value)) throw new TypeError(mustBe(where, name, what));
}

/**
 * Refuses an option name that is not among `names`.
 * @param {{ kind?: string, listed?: boolean }} [how] kind: which options ('cache', 'header');
 *   listed: name the known ones in the error
 */
function checkName(key, names, where, { kind, listed = false } = {}) {
  if (names.has(key)) return;
  const which = kind ? `${kind} option` : 'option';
  const known = listed ? ` (${[...names].join(', ')})` : '';
  throw new TypeError(`${where}: unknown ${which} ${JSON.stringify(key)}${known}`);
}

/** Refuses the first own name of `object` that is not among `names` (see checkName). */
function checkNames(object, names, where, how) {
  for (const key of Object.keys(object)) checkName(key, names, where, how);
}

/** A safe integer from min to max (no upper bound when max is Infinity). */
function checkInteger(value, where, name, min, max = Infinity) {
  if (Number.isSafeInteger(value) && value >= min && value <= max) return;
  const range = max === Infinity ? `of at least ${min}` : `from ${min} to ${max}`;
  throw new RangeError(mustBe(where, name, `an integer ${range}`));
}

/** A duration in whole milliseconds; `zero` says what 0 means. */
function checkMilliseconds(value, where, name, zero) {
  if (!Number.isSafeInteger(value) || value < 0)
    throw new RangeError(mustBe(where, name, `a whole number of milliseconds (0: ${zero})`));
}

function checkBoolean(value, where, name) {
  if (typeof value !== 'boolean') throw new TypeError(mustBe(where, name, 'true or false'));
}

/** A function; `of` names what it is called with. */
function checkFunction(value, where, name, of) {
  if (typeof value !== 'function') throw new TypeError(mustBe(where, name, `a function of ${of}`));
}

/** Any other rule of one option, broken: `rule` says what the option must do or be. */
function optionError(where, name, rule) {
  return new TypeError(`${where}: ${name} ${rule}`);
}

/** The host option of the middleware, the hook and the plugin, missing or of the wrong kind. */
function hostRequired(where) {
  return new TypeError(
    `${where}: the host option is required: this deployment's host name, or a function of the request that ` +
      `returns it ` +
      '(never the Host header, which the client chooses)',
  );
}

module.exports = {
  checkOptionsObject,
  checkRequiredOptions,
  checkObject,
  checkName,
  checkNames,
  checkInteger,
  checkMilliseconds,
  checkBoolean,
  checkFunction,
  optionError,
  hostRequired,
};
