#!/usr/bin/env bash
# CI stage: ship a team's build as a team would, then install it where no
# compiler exists and check it.
#
#  1. fresh random tokens for every combination -> `header-validator encode`
#  2. HEADER_VALIDATOR_TABLE=... npm pack, in a temporary copy of the working
#     tree (so the repository's own demo build is never switched)
#  3. the tarball holds only the allow-listed files and none of the tokens;
#     packing the demo table is refused unless explicitly allowed
#  4. npm install of the tarball into an empty directory, with only node and
#     npm on PATH (no g++, cc, cmake, make)
#  5. smoke test: load, `list` fingerprint, a custom token's code validates, a
#     demo token's code does not, generate/validate, async API, demo
#
# Tokens and auth codes stay in files under a private temporary directory;
# nothing here prints one.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/hv-pack.XXXXXX")"
trap 'rm -rf "$work"' EXIT
secrets="$work/secrets"
copy="$work/checkout"
dist="$work/dist"
app="$work/app"
tools="$work/tools"
mkdir -m 700 "$secrets"
mkdir "$copy" "$dist" "$app" "$tools"

fail() {
  echo "pack stage: FAILED: $*" >&2
  exit 1
}
step() { echo "-- $*"; }

step "fresh random tokens, encoded with header-validator encode"
node -e '
  const crypto = require("node:crypto");
  const fs = require("node:fs");
  const shape = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
  const table = {};
  for (const [host, platforms] of Object.entries(shape)) {
    table[host] = {};
    for (const [platform, userTypes] of Object.entries(platforms)) {
      table[host][platform] = {};
      for (const userType of Object.keys(userTypes)) table[host][platform][userType] = crypto.randomBytes(24).toString("base64url");
    }
  }
  fs.writeFileSync(process.argv[2], JSON.stringify(table, null, 2), { mode: 0o600 });
  fs.writeFileSync(process.argv[3], Object.values(table).flatMap((p) => Object.values(p).flatMap((u) => Object.values(u))).join("\n") + "\n", { mode: 0o600 });
' "$root/tokens/demo-tokens.json" "$secrets/team.plain.json" "$secrets/tokens.txt"
node "$root/bin/header-validator.js" encode "$secrets/team.plain.json" --out "$secrets/table.json"
fingerprint="$(sha256sum "$secrets/table.json" | cut -d' ' -f1)"
echo "custom table sha256:$fingerprint"

step "copy of the working tree"
git -C "$root" ls-files -z --cached --others --exclude-standard |
  tar -C "$root" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$copy" -xf -
ln -s "$root/node_modules" "$copy/node_modules"

step "HEADER_VALIDATOR_TABLE=... npm pack (builds with the custom table)"
(cd "$copy" && HEADER_VALIDATOR_TABLE="$secrets/table.json" npm pack --pack-destination "$dist" --loglevel=warn >"$work/pack.log" 2>&1) ||
  { tail -n 40 "$work/pack.log" >&2; fail "npm pack of the custom build"; }
tarball="$(ls "$dist"/header-validator-*.tgz)"
echo "packed $(basename "$tarball") ($(du -k "$tarball" | cut -f1) KiB)"

step "tarball contents"
mkdir "$work/unpacked"
tar -C "$work/unpacked" -xzf "$tarball"
listing="$(cd "$work/unpacked" && find . -type f | sed 's|^\./package/||' | sort)"
unexpected="$(grep -Ev '^(package\.json|README\.md|bin/[^/]+\.js|lib/(cli/|encode/)?[^/]+\.m?js|types/[^/]+\.d\.ts|src/messages\.json|src/tokens/(table_format|public_token_digests)\.json|build/Release/header_validator\.(node|manifest\.json))$' <<<"$listing" || true)"
[ -z "$unexpected" ] || fail "files outside the allow-list were packed: $unexpected"
grep -qx 'build/Release/header_validator.node' <<<"$listing" || fail "the module is not in the tarball"
if grep -rlF -f "$secrets/tokens.txt" "$work/unpacked" >"$work/leaks.txt"; then
  fail "a plain token appears in: $(tr '\n' ' ' <"$work/leaks.txt")"
fi
echo "$(wc -l <<<"$listing") files, all allow-listed, no plain token inside"

step "packing a demo-table build is refused unless allowed"
if (cd "$copy" && npm pack --dry-run --loglevel=warn >"$work/demo-pack.log" 2>&1); then
  fail "npm pack of the demo table was not refused"
fi
grep -q 'refusing to pack a build with the public demo token table' "$work/demo-pack.log" || { cat "$work/demo-pack.log" >&2; fail "refusal message"; }
(cd "$copy" && HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 npm pack --dry-run --loglevel=warn >"$work/demo-pack.log" 2>&1) ||
  { tail -n 20 "$work/demo-pack.log" >&2; fail "HEADER_VALIDATOR_ALLOW_DEMO_PACK=1 did not allow the demo pack"; }
echo "refused without HEADER_VALIDATOR_ALLOW_DEMO_PACK=1, allowed with it"

step "install into an empty directory with no build tools on PATH"
ln -s "$(command -v node)" "$tools/node"
ln -s "$(readlink -f "$(command -v npm)")" "$tools/npm"
for tool in g++ gcc cc c++ cmake make; do
  if PATH="$tools" command -v "$tool" >/dev/null; then fail "$tool is still on the stripped PATH"; fi
done
(cd "$app" && PATH="$tools" npm init -y >/dev/null &&
  PATH="$tools" npm install --no-audit --no-fund --loglevel=warn "$tarball" >"$work/install.log" 2>&1) ||
  { tail -n 40 "$work/install.log" >&2; fail "npm install of the tarball"; }
installed="$app/node_modules/header-validator"
[ ! -e "$installed/build/CMakeCache.txt" ] || fail "the install built the module"
bin="$app/node_modules/.bin/header-validator"
echo "installed with PATH=$tools (node, npm only)"

step "smoke test of the installed package"
run() { (cd "$app" && PATH="$tools" "$@"); }

run node -e '
  const hv = require("header-validator");
  const info = hv.tableInfo();
  if (info.sha256 !== process.argv[1] || info.demo !== false) { console.error("unexpected table", info.sha256, info.demo); process.exit(1); }
' "$fingerprint" || fail "load and tableInfo"
echo "loads; tableInfo() names the custom table"

listed="$(run "$bin" list)" || fail "list"
grep -qx "fingerprint: sha256:$fingerprint" <<<"$listed" || fail "list does not show the custom fingerprint"
grep -qx "demo table: no" <<<"$listed" || fail "list calls the custom build a demo build"
echo "list: sha256:$fingerprint, demo table: no"

# Codes made outside the module with bcryptjs (cost 4) from one custom token and
# from the demo token of the same combination.
node -e '
  const fs = require("node:fs");
  const bcrypt = require(process.argv[1]);
  const [custom, demo, out] = process.argv.slice(2);
  const token = (file) => JSON.parse(fs.readFileSync(file, "utf8"))["example.com"].ANDROID.STORE;
  fs.writeFileSync(`${out}/custom.code`, bcrypt.hashSync(token(custom), 4), { mode: 0o600 });
  fs.writeFileSync(`${out}/demo.code`, bcrypt.hashSync(token(demo), 4), { mode: 0o600 });
' "$root/node_modules/bcryptjs" "$secrets/team.plain.json" "$root/tokens/demo-tokens.json" "$secrets"
verdict="$(run "$bin" validate - ANDROID STORE example.com <"$secrets/custom.code")" || true
[ "$verdict" = valid ] || fail "a code from the custom token was not accepted ($verdict)"
verdict="$(run "$bin" validate - ANDROID STORE example.com <"$secrets/demo.code")" && fail "a demo token's code was accepted"
[ "$verdict" = invalid ] || fail "validate printed '$verdict' for the demo token's code"
echo "custom token's code: valid; demo token's code: invalid"

run "$bin" generate IOS USER staging.example.com >"$secrets/generated.code" || fail "generate"
verdict="$(run "$bin" validate - IOS USER staging.example.com <"$secrets/generated.code")" || fail "a generated code was refused"
echo "generate -> validate: $verdict"

result="$(run node -e '
  const { validateRequestAsync } = require("header-validator");
  validateRequestAsync(require("node:fs").readFileSync(process.argv[1], "utf8"), "ANDROID", "STORE", "example.com").then((r) => console.log(r));
' "$secrets/custom.code")" || fail "async API"
[ "$result" = true ] || fail "validateRequestAsync answered $result"
echo "validateRequestAsync on worker threads: true (and the process exited by itself)"

run "$bin" demo >"$work/demo.log" 2>&1 || { cat "$work/demo.log" >&2; fail "demo"; }
echo "demo against the custom build: all requests answered as expected"

step "the repository's own build is untouched"
[ "$(node -p 'require(process.argv[1]).tableInfo().demo' "$root")" = true ] || fail "the repository's build is no longer the demo build"
echo "pack stage: passed"
