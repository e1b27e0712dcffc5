'use strict';

// The build's fleet key, the secret of the shared cache of checked results:
// written by the table check beside the module, fresh for every table, the
// same for every build of one table, readable by its owner only, and kept out
// of everything the package shows.

const { after, test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { readFleetKey } = require('../../lib/fleet-key');
const { tableInfo } = require('../../lib/table-info');
const { MANIFEST_PATH } = require('../../lib/native/locate');
const { ROOT } = require('../support/module.js');
const { FORMAT_FILE } = require('../../lib/encode/format');
const { PUBLIC_DIGESTS_FILE } = require('../../lib/encode/public-digests');

const buildDir = process.env.HEADER_VALIDATOR_BUILD_DIR || path.join(ROOT, 'build');
const demoTable = path.join(ROOT, 'src/tokens/token_table.json');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'hv-fleet-key-'));
after(() => fs.rmSync(tmp, { recursive: true, force: true }));

// The table check run on `table`: the fleet key file it writes.
function fleetKeyOf(table, name, previous = []) {
  const keyFile = path.join(tmp, `${name}.fleet-key`);
  const args = [table, FORMAT_FILE, demoTable, PUBLIC_DIGESTS_FILE, path.join(tmp, `${name}.json`)];
  args.push('--fleet-key', keyFile, ...previous);
  const env = { ...process.env, HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD: '1' };
  const result = spawnSync(path.join(buildDir, 'table_manifest'), args, { encoding: 'utf8', env });
  assert.equal(result.status, 0, result.stderr);
  return keyFile;
}

test('every table gets its own fleet key, the same on every build of it, readable by its owner only', () => {
  const demo = JSON.parse(fs.readFileSync(demoTable, 'utf8'));
  // The same tokens, one leaf fewer: another table.
  delete demo['example.com'].WEB;
  const other = path.join(tmp, 'other-table.json');
  fs.writeFileSync(other, JSON.stringify(demo));

  const keys = [fleetKeyOf(demoTable, 'a'), fleetKeyOf(demoTable, 'b'), fleetKeyOf(other, 'c')].map((file) => {
    assert.equal(fs.statSync(file).mode & 0o777, 0o600);
    return readFleetKey(file).toString('hex');
  });
  assert.equal(keys[0], keys[1]);
  assert.notEqual(keys[0], keys[2]);
  // The key beside the module under test, whatever table it was built from.
  const own = readFleetKey();
  assert.equal(own.length, 32);
  const shown = fs.readFileSync(MANIFEST_PATH, 'utf8') + JSON.stringify(tableInfo());
  assert.ok(!shown.includes(own.toString('hex')), 'the fleet key is not in the manifest or tableInfo()');
});

test('a previous table, or another end of its overlap, makes another keyspace', () => {
  const [current, previous] = ['current', 'previous'].map((name) =>
    path.join(ROOT, 'test', 'tables', `rotation-${name}.json`),
  );
  const inDays = (days) => new Date(Date.now() + days * 86_400_000).toISOString();
  const keys = [
    fleetKeyOf(current, 'alone'),
    fleetKeyOf(current, 'rotating', ['--previous', previous, inDays(30)]),
    fleetKeyOf(current, 'later', ['--previous', previous, inDays(31)]),
  ].map((file) => readFleetKey(file).toString('hex'));
  assert.equal(new Set(keys).size, 3);
});

test('a fleet key file that is missing or not as the build writes it is a load error that shows no content', () => {
  const missing = path.join(tmp, 'missing.fleet-key');
  assert.throws(() => readFleetKey(missing), { code: 'ERR_HEADER_VALIDATOR_LOAD', message: /missing .*npm run build/ });
  const content = crypto.randomBytes(31).toString('hex');
  const short = path.join(tmp, 'short.fleet-key');
  fs.writeFileSync(short, content);
  assert.throws(
    () => readFleetKey(short),
    (err) => {
      assert.equal(err.code, 'ERR_HEADER_VALIDATOR_LOAD');
      assert.ok(!err.message.includes(content.slice(0, 16)));
      return true;
    },
  );
});
