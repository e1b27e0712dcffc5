#!/usr/bin/env bash
# CI stage: the linux-arm64 module, on this x86-64 machine. Its linkage test
# (readelf), then test/arm64/emulated.test.js under qemu-aarch64-static with the
# official Node.js 20 arm64 binary (pinned in test/arm64/package-lock.json),
# with cost-12 codes crossing between the architectures both ways.
#
# Usage: scripts/ci/arm64.sh [<package dir> <plain tokens.json> [<previous plain tokens.json>]]
#   no arguments: builds this checkout's table for arm64 (npm run build:arm64)
#                 and tests prebuilds/linux-arm64 with the demo tokens
#   arguments:    tests a package that carries prebuilds/linux-x64 and
#                 linux-arm64 (the pack stage's install), made from those tokens,
#                 and from the tokens they replace when it has a previous table
#
# Tokens and auth codes stay in files under a private temporary directory;
# nothing here prints one.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
if [ "$#" -ne 0 ] && [ "$#" -ne 2 ] && [ "$#" -ne 3 ]; then
  echo "usage: scripts/ci/arm64.sh [<package dir> <plain tokens.json> [<previous plain tokens.json>]]" >&2
  exit 2
fi
package="$(cd "${1:-$root}" && pwd)"
tokens="$(readlink -f "${2:-$root/tokens/demo-tokens.json}")"
previous_tokens="$([ "$#" -eq 3 ] && readlink -f "$3" || true)"
work="$(mktemp -d "${TMPDIR:-/tmp}/hv-arm64.XXXXXX")"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "arm64 stage: FAILED: $*" >&2
  exit 1
}
step() { echo "-- $*"; }

scripts/install-build-deps.sh --arm64
if [ "$#" -eq 0 ]; then
  step "npm run build:arm64"
  npm run --silent build:arm64
fi
module="$package/prebuilds/linux-arm64/header_validator.node"
[ -f "$module" ] || fail "no linux-arm64 module at $module"

node_arm64="$(scripts/ci/node-arm64.sh)"
emulated() { qemu-aarch64-static "$node_arm64" "$@"; }
echo "$(emulated --version) under $(qemu-aarch64-static --version | head -n 1)"

step "linkage test on the arm64 module"
HV_MODULE_UNDER_TEST="$module" build/test/cpp/module_linkage_test --gtest_brief=1 ||
  fail "the arm64 module's linkage"

# One combination's cost-12 codes, made by each architecture and checked by the other.
native_check() {
  node -e '
    const fs = require("node:fs");
    const [pkg, file, mode] = process.argv.slice(1);
    const hv = require(pkg);
    const combination = ["IOS", "USER", "staging.example.com"];
    if (mode === "make") fs.writeFileSync(file, hv.generateAuthCode(...combination), { mode: 0o600 });
    else {
      const code = fs.readFileSync(file, "utf8");
      const token = JSON.parse(fs.readFileSync(process.env.HV_TOKENS, "utf8"))[combination[2]].IOS.USER;
      const results = [hv.validateRequest(code, ...combination), require("bcryptjs").compareSync(token, code)];
      if (results.some((r) => r !== true)) { console.error("x86-64 module, bcryptjs:", results); process.exit(1); }
    }
  ' "$package" "$@"
}

step "a cost-12 code made on x86-64"
HV_TOKENS="$tokens" native_check "$work/x64.code" make || fail "generateAuthCode on x86-64"

step "test/arm64/emulated.test.js under emulation"
HV_PACKAGE="$package" HV_TOKENS="$tokens" HV_PREVIOUS_TOKENS="$previous_tokens" HV_X64_CODE="$work/x64.code" \
  HV_ARM64_CODE="$work/arm64.code" emulated test/arm64/emulated.test.js >"$work/emulated.log" 2>&1 ||
  { cat "$work/emulated.log" >&2; fail "emulated tests"; }
grep -E '^# (tests|pass|fail)' "$work/emulated.log"

step "the arm64 module's cost-12 code, checked on x86-64 by the module and by bcryptjs"
HV_TOKENS="$tokens" native_check "$work/arm64.code" check || fail "a code made on arm64 was refused on x86-64"
echo "arm64 stage: passed"
