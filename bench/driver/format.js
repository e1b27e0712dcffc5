'use strict';

// How figures are written in results.md and in gnuplot's data files.

const fmt = (x, digits = 1) => (x === null || x === undefined || !Number.isFinite(x) ? 'n/a' : x.toFixed(digits));
const spread = (s, digits = 1) => `${fmt(s.median, digits)} (${fmt(s.min, digits)}–${fmt(s.max, digits)})`;

function table(head, rows) {
  return [
    `| ${head.join(' | ')} |`,
    `|${head.map(() => '---').join('|')}|`,
    ...rows.map((row) => `| ${row.join(' | ')} |`),
  ].join('\n');
}

// A gnuplot string, and a gnuplot number ('?' is missing data).
const q = (s) => `"${String(s).replace(/"/g, "'")}"`;
const num = (x) => (x === null || x === undefined || !Number.isFinite(x) ? '?' : x.toPrecision(6));

module.exports = { fmt, spread, table, q, num };
