#!/usr/bin/env node
'use strict';
// Writes rotation-current.json, rotation-previous.json and rotation.tokens.json:
// a current table and the table it replaces, one combination of each kind the
// build reports (rotated, unchanged, added, removed) and a previous leaf that
// cannot be decoded. The tokens are test-only and public. Re-run only to
// change the cases:
//   node test/tables/make-rotation-tables.js

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { encodeToken } = require('../../lib/encode');
const { loadFormat } = require('../../lib/encode/format');

const { mask } = loadFormat();
const token = (name) => `test-only-rotation-${name}-${crypto.randomBytes(6).toString('hex')}`;
// Each call draws its own key and IV: one token encodes to different leaves.
const leaf = (text) => encodeToken(Buffer.from(text), mask);

const host = 'rotation.example';
const tokens = {
  current: { WEB: { USER: token('new') }, IOS: { USER: token('kept'), STORE: token('added') }, ANDROID: {} },
  previous: { WEB: { USER: token('old') }, ANDROID: { USER: token('removed') } },
};
tokens.previous.IOS = { USER: tokens.current.IOS.USER };
tokens.current.ANDROID.STORE = token('store');

const current = {
  [host]: {
    WEB: { USER: leaf(tokens.current.WEB.USER) },
    IOS: { USER: leaf(tokens.current.IOS.USER), STORE: leaf(tokens.current.IOS.STORE) },
    ANDROID: { STORE: leaf(tokens.current.ANDROID.STORE) },
  },
};
const previous = {
  [host]: {
    WEB: { USER: leaf(tokens.previous.WEB.USER) },
    IOS: { USER: leaf(tokens.previous.IOS.USER) },
    ANDROID: { USER: leaf(tokens.previous.ANDROID.USER), STORE: [] },
  },
};

const dir = __dirname;
fs.writeFileSync(path.join(dir, 'rotation-current.json'), `${JSON.stringify(current)}\n`);
fs.writeFileSync(path.join(dir, 'rotation-previous.json'), `${JSON.stringify(previous)}\n`);
const note = 'Public test-only tokens of rotation-current.json and rotation-previous.json';
fs.writeFileSync(path.join(dir, 'rotation.tokens.json'), `${JSON.stringify({ note, host, ...tokens }, null, 2)}\n`);
