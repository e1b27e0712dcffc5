'use strict';

// What a caller finds on the exports object, and how both functions reject
// argument lists they do not take.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');

const { modulePath, demoTokens, messages } = require('../support/module.js');
const { cheapCode } = require('../support/codes.js');

const hv = require(modulePath);

const HOST = 'example.com';
const PLATFORM = 'WEB';
const USER_TYPE = 'USER';
// A valid code for the combination above, so that every call below would
// succeed if the module ignored the one thing wrong with its arguments.
const CODE = cheapCode(demoTokens[HOST][PLATFORM][USER_TYPE]);

const NOT_STRINGS = [
  ['undefined', undefined],
  ['null', null],
  ['a number', 42],
  ['a bigint', 42n],
  ['a boolean', true],
  ['a symbol', Symbol('WEB')],
  ['a plain object', {}],
  ['an object that converts to a known name', { toString: () => 'WEB' }],
  ['a String object', new String('WEB')],
  ['an array', ['WEB']],
  ['a function', () => 'WEB'],
];

const NOTHING_RETURNED = Symbol('nothing returned');

// Calls fn and checks that it threw the argument TypeError, and that no
// fallback value came back instead.
function assertArgumentError(fn, args, message) {
  let returned = NOTHING_RETURNED;
  let error;
  try {
    returned = fn(...args);
  } catch (e) {
    error = e;
  }
  assert.equal(returned, NOTHING_RETURNED, `returned ${String(returned)} instead of throwing`);
  assert.ok(error instanceof TypeError, `threw ${String(error)}, not a TypeError`);
  assert.equal(Object.getPrototypeOf(error), TypeError.prototype);
  assert.equal(error.message, message);
  assert.equal('code' in error, false, 'the TypeError carries a code property');
}

describe('exports object', () => {
  it('has exactly validateRequest then generateAuthCode as own keys', () => {
    assert.deepEqual(Reflect.ownKeys(hv), ['validateRequest', 'generateAuthCode']);
  });

  it('holds functions without names of their own', () => {
    for (const key of ['validateRequest', 'generateAuthCode']) {
      assert.equal(typeof hv[key], 'function', key);
      assert.equal(hv[key].name, '', key);
    }
  });

  it('defines them as ordinary assigned properties', () => {
    for (const key of ['validateRequest', 'generateAuthCode']) {
      const descriptor = Object.getOwnPropertyDescriptor(hv, key);
      assert.equal(descriptor.writable, true, key);
      assert.equal(descriptor.enumerable, true, key);
      assert.equal(descriptor.configurable, true, key);
    }
  });

  it('works with valid arguments (the baseline of the argument checks below)', () => {
    assert.equal(hv.validateRequest(CODE, PLATFORM, USER_TYPE, HOST), true);
  });
});

describe('validateRequest argument errors', () => {
  const message = messages.validateRequestArguments;
  const valid = [CODE, PLATFORM, USER_TYPE, HOST];

  it('rejects every argument count but four', () => {
    const lists = [
      [],
      [CODE],
      [CODE, PLATFORM],
      [CODE, PLATFORM, USER_TYPE],
      [PLATFORM, USER_TYPE, HOST], // generateAuthCode's argument list
      [...valid, HOST],
      [...valid, undefined],
      [...valid, 'a', 'b', 'c'],
    ];
    for (const args of lists) {
      assertArgumentError(hv.validateRequest, args, message);
    }
  });

  it('rejects seven string arguments', () => {
    assertArgumentError(hv.validateRequest, [CODE, PLATFORM, USER_TYPE, HOST, 'x', 'y', 'z'], message);
  });

  for (const position of [0, 1, 2, 3]) {
    it(`rejects anything but a string as argument ${position}`, () => {
      for (const [what, value] of NOT_STRINGS) {
        const args = [...valid];
        args[position] = value;
        assert.doesNotThrow(() => assertArgumentError(hv.validateRequest, args, message), `${what} at ${position}`);
      }
    });
  }
});

describe('generateAuthCode argument errors', () => {
  const message = messages.generateAuthCodeArguments;
  const valid = [PLATFORM, USER_TYPE, HOST];

  it('rejects every argument count but three', () => {
    const lists = [
      [],
      [PLATFORM],
      [PLATFORM, USER_TYPE],
      [CODE, PLATFORM, USER_TYPE, HOST], // validateRequest's argument list
      [...valid, HOST],
      [...valid, undefined],
      [...valid, 'a', 'b'],
      [...valid, 'a', 'b', 'c', 'd'],
    ];
    for (const args of lists) {
      assertArgumentError(hv.generateAuthCode, args, message);
    }
  });

  for (const position of [0, 1, 2]) {
    it(`rejects anything but a string as argument ${position}`, () => {
      for (const [what, value] of NOT_STRINGS) {
        const args = [...valid];
        args[position] = value;
        assert.doesNotThrow(() => assertArgumentError(hv.generateAuthCode, args, message), `${what} at ${position}`);
      }
    });
  }
});
