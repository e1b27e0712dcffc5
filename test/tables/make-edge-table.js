#!/usr/bin/env node
'use strict';
// Writes edge-leaves.json and edge-leaves.tokens.json: a small table whose
// leaves exercise the decoder's accepted numeral forms and its failures. The
// tokens are test-only and public. Re-run only to change the cases:
//   node test/tables/make-edge-table.js

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { encodeToken } = require('../../lib/encode');
const { loadFormat } = require('../../lib/encode/format');

const { mask } = loadFormat();

// Fixed key and IV: key byte 0 is 0x00 and key byte 1 is 0xFF, so the
// numerals "256" and "-1" can stand in for them.
const key = Buffer.from(Array.from({ length: 32 }, (_, i) => (i === 0 ? 0 : i === 1 ? 255 : 16 + i)));
const iv = Buffer.alloc(16, 7);

const tokens = {};
function leaf(platform, userType, edit) {
  const token = `test-only-${platform}-${userType}-${crypto.randomBytes(6).toString('hex')}`;
  const numerals = encodeToken(Buffer.from(token), mask, { key, iv });
  const decodes = edit(numerals);
  if (decodes) (tokens[platform] ??= {})[userType] = token;
  return numerals;
}

// Encoded-text offsets: 0-4 outer text, 5-8 key bytes 0-3.
const table = {
  'edge.example': {
    ANDROID: {
      USER: leaf('ANDROID', 'USER', () => true),
      STORE: leaf('ANDROID', 'STORE', (n) => ((n[0] = ` ${n[0]}`), true)),
      KIOSK: leaf('ANDROID', 'KIOSK', (n) => ((n[0] = `+${n[0]}`), true)),
      PROVIDER: leaf('ANDROID', 'PROVIDER', (n) => {
        n[0] = `${n[0]}abc`;
        n[1] = String(Number(n[1]) + 256);
        return true;
      }),
      KIOSK_STORE: [],
      TRACK_USER: leaf('ANDROID', 'TRACK_USER', (n) => ((n[3] = '12345678901'), false)),
    },
    IOS: {
      USER: leaf('IOS', 'USER', (n) => ((n[8] = String((Number(n[8]) + 1) % 256)), false)),
      PROVIDER: leaf('IOS', 'PROVIDER', (n) => {
        n[5] = '256';
        n[6] = '-1';
        return true;
      }),
    },
    WEB: {},
  },
  'empty.example': {},
};

const dir = __dirname;
fs.writeFileSync(path.join(dir, 'edge-leaves.json'), `${JSON.stringify(table)}\n`);
fs.writeFileSync(
  path.join(dir, 'edge-leaves.tokens.json'),
  `${JSON.stringify({ note: 'Public test-only tokens of edge-leaves.json', 'edge.example': tokens }, null, 2)}\n`,
);
