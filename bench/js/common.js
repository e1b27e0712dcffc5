'use strict';

// Shared by the benchmark scripts: paths, the demo token, statistics, machine
// facts, CPU accounting, and the one-JSON-document report each script writes.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');

const ROOT = path.resolve(__dirname, '..', '..');
const MODULE_PATH = path.join(ROOT, 'build', 'Release', 'header_validator.node');
const PACKAGE_ENTRY = path.join(ROOT, 'lib', 'index.js');

// One combination for every figure; any other costs the same.
const COMBO = Object.freeze({ host: 'example.com', platform: 'ANDROID', userType: 'STORE' });
const COST = 12;

function demoToken() {
  const tokens = JSON.parse(fs.readFileSync(path.join(ROOT, 'tokens', 'demo-tokens.json'), 'utf8'));
  return tokens[COMBO.host][COMBO.platform][COMBO.userType];
}

// --quick, --out and --floor for every script, and the script's own options beside them.
function options(own = {}) {
  const { values } = parseArgs({
    options: {
      quick: { type: 'boolean', default: false },
      out: { type: 'string' },
      floor: { type: 'string' },
      ...own,
    },
    strict: true,
  });
  return values;
}

// Writes the script's result as one JSON document to --out (or stdout).
function report(opts, result) {
  const text = `${JSON.stringify(result, null, 2)}\n`;
  if (opts.out) fs.writeFileSync(opts.out, text);
  else process.stdout.write(text);
}

function summary(values) {
  const sorted = values.filter(Number.isFinite).sort((a, b) => a - b);
  if (sorted.length === 0) return { median: null, min: null, max: null, n: 0 };
  const mid = sorted.length >> 1;
  const median = sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  return { median, min: sorted[0], max: sorted[sorted.length - 1], n: sorted.length };
}

// tinybench keeps only aggregates unless asked; these are the ones reported.
function fromTinybench(task, scale = 1) {
  const { state, latency } = task.result;
  if (state !== 'completed') {
    throw new Error(`${task.name}: ${state}${task.result.error ? `: ${task.result.error.message}` : ''}`);
  }
  return {
    median: latency.p50 * scale,
    min: latency.min * scale,
    max: latency.max * scale,
    n: latency.samplesCount,
  };
}

function cpuModel() {
  const line = fs
    .readFileSync('/proc/cpuinfo', 'utf8')
    .split('\n')
    .find((l) => l.startsWith('model name'));
  return line ? line.split(':')[1].trim() : (os.cpus()[0]?.model ?? 'unknown');
}

function machine() {
  return {
    cpuModel: cpuModel(),
    cores: os.availableParallelism(),
    memoryGiB: Math.round(os.totalmem() / 2 ** 30),
    kernel: os.release(),
    node: process.version,
    date: new Date().toISOString(),
  };
}

// Whole-machine CPU counters (USER_HZ ticks), for the busy share over a phase.
function procStat() {
  const fields = fs.readFileSync('/proc/stat', 'utf8').split('\n')[0].trim().split(/\s+/).slice(1).map(Number);
  const [user, nice, system, idle, iowait, irq, softirq, steal] = fields;
  const busy = user + nice + system + irq + softirq + steal;
  return { busy, total: busy + idle + iowait, at: Date.now() };
}

function loadavg() {
  return os.loadavg().map((x) => Math.round(x * 100) / 100);
}

// The package layer (Promise API, middleware), or null when it is not built.
function loadPackage() {
  if (!fs.existsSync(PACKAGE_ENTRY)) return null;
  const pkg = require(PACKAGE_ENTRY);
  return typeof pkg.validateRequestAsync === 'function' ? pkg : null;
}

// Calls per second over [t0, t1] from each call's start and end (ms). A call
// that straddles an edge counts by the share of its lifetime inside, so calls
// that finish in clumps (a pool finishing several at once) do not skew a short
// window as a plain count would.
function callsPerSecond(calls, t0, t1) {
  let done = 0;
  for (const { start, end } of calls) {
    const inside = Math.min(end, t1) - Math.max(start, t0);
    if (inside > 0) done += inside / (end - start);
  }
  return (done * 1000) / (t1 - t0);
}

// The same over `parts` equal consecutive pieces of the window, for a spread.
function callsPerSecondParts(calls, t0, t1, parts) {
  const step = (t1 - t0) / parts;
  return Array.from({ length: parts }, (_, i) => callsPerSecond(calls, t0 + i * step, t0 + (i + 1) * step));
}

// Keeps k promise-returning calls in flight until time t1 (performance.now()),
// lets the last ones finish, and returns every call's { start, end }.
function keepInFlight(call, k, t1) {
  const now = () => performance.now();
  const calls = [];
  return new Promise((resolve, reject) => {
    let active = 0;
    const launch = () => {
      active++;
      const start = now();
      call().then((ok) => {
        const end = now();
        if (ok !== true) return reject(new Error('a call in the benchmark did not return true'));
        active--;
        calls.push({ start, end });
        if (end < t1) launch();
        else if (active === 0) resolve(calls);
      }, reject);
    };
    for (let i = 0; i < k; i++) launch();
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A well-formed code of the given cost that matches no token: what anyone can
// send without knowing one. Its shape follows the module's own rules.
function wrongCode(cost) {
  const { rules } = require(path.join(ROOT, 'lib', 'auth-code-rules.js'));
  const bytes = require('node:crypto').randomBytes(rules.length);
  const from = (chars, byte) => chars[byte % chars.length];
  let code = `$2a$${String(cost).padStart(2, '0')}$`;
  while (code.length < rules.settingLength - 1) code += from(rules.alphabet, bytes[code.length]);
  code += from(rules.canonicalLastSaltChars, bytes[code.length]);
  while (code.length < rules.length) code += from(rules.alphabet, bytes[code.length]);
  return code;
}

module.exports = {
  ROOT,
  MODULE_PATH,
  PACKAGE_ENTRY,
  COMBO,
  COST,
  demoToken,
  options,
  report,
  summary,
  fromTinybench,
  machine,
  procStat,
  loadavg,
  loadPackage,
  callsPerSecond,
  callsPerSecondParts,
  keepInFlight,
  sleep,
  wrongCode,
};
