#!/usr/bin/env bash
# CI stage: ship a team's build as a team would, then install it where no
# compiler exists and check it.
#
#  1. fresh random tokens for every combination, and for a platform of the
#     team's own (KIOSKOS, from a vocabulary file) -> `header-validator encode
#     --vocabulary`, and a previous table that they replace: other tokens for
#     the ANDROID combinations, the same for the rest
#  2. HEADER_VALIDATOR_TABLE=... HEADER_VALIDATOR_PREVIOUS_TABLE=...
#     HEADER_VALIDATOR_VOCABULARY=... npm run package, in a temporary copy of
#     the working tree (so the repository's own demo build is never switched):
#     linux-x64 and linux-arm64 (cross-built) modules of the same tables, in a
#     tarball named after them
#  3. the tarball holds only the allow-listed files and none of the tokens;
#     packing the demo table is refused unless explicitly allowed, a plain
#     `npm pack` is refused, and packing without the cross toolchain names it
#  4. npm install of the tarball into an empty directory, with only node and
#     npm on PATH (no g++, cc, cmake, make)
#  5. smoke test, natively on x86-64: load, `list` fingerprint, a custom
#     token's code validates (the own platform's too), a demo token's code
#     does not, a replaced token's code validates for the previous module,
#     validateRequestAsync and `validate` (not with HEADER_VALIDATOR_PREVIOUS=off)
#     but never for the synchronous validateRequest, async API,
#     generate/validate, demo; then under arm64 emulation the same but for the
#     cost-12 work (generate, demo), which the arm64 stage covers
#
# Usage: scripts/ci/pack-smoke.sh [<work dir>]
#   With a work dir (private, empty, removed by the caller), the installed
#   package stays in <work dir>/app/node_modules/header-validator and its plain
#   tokens in <work dir>/secrets/team.plain.json (those of its previous table in
#   <work dir>/secrets/previous.plain.json), for scripts/ci/arm64.sh.
#
# Tokens and auth codes stay in files under a private temporary directory;
# nothing here prints one.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
if [ "$#" -eq 1 ]; then
  work="$(cd "$1" && pwd)"
else
  work="$(mktemp -d "${TMPDIR:-/tmp}/hv-pack.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
fi
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

step "fresh random tokens, a platform of the team's own, encoded with header-validator encode --vocabulary"
node -e '
  const crypto = require("node:crypto");
  const fs = require("node:fs");
  const shape = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
  // Every platform of the package, and KIOSKOS, one of the team own.
  const vocabulary = { platforms: { ...JSON.parse(fs.readFileSync(process.argv[5], "utf8")).platforms, KIOSKOS: ["STAFF", "ADMIN"] } };
  const table = {};
  for (const [host, platforms] of Object.entries(shape)) {
    table[host] = {};
    for (const [platform, userTypes] of Object.entries({ ...platforms, KIOSKOS: { STAFF: "", ADMIN: "" } })) {
      table[host][platform] = {};
      for (const userType of Object.keys(userTypes)) table[host][platform][userType] = crypto.randomBytes(24).toString("base64url");
    }
  }
  // The tokens these replace: other ones for ANDROID, the same elsewhere.
  const previous = structuredClone(table);
  for (const platforms of Object.values(previous)) {
    for (const userType of Object.keys(platforms.ANDROID)) platforms.ANDROID[userType] = crypto.randomBytes(24).toString("base64url");
  }
  const all = (t) => Object.values(t).flatMap((p) => Object.values(p).flatMap((u) => Object.values(u)));
  fs.writeFileSync(process.argv[2], JSON.stringify(table, null, 2), { mode: 0o600 });
  fs.writeFileSync(process.argv[3], JSON.stringify(previous, null, 2), { mode: 0o600 });
  fs.writeFileSync(process.argv[4], [...new Set([...all(table), ...all(previous)])].join("\n") + "\n", { mode: 0o600 });
  fs.writeFileSync(process.argv[6], JSON.stringify(vocabulary, null, 2));
' "$root/tokens/demo-tokens.json" "$secrets/team.plain.json" "$secrets/previous.plain.json" "$secrets/tokens.txt" \
  "$root/shared/table_format.json" "$work/team.vocabulary.json"
node "$root/bin/header-validator.js" encode "$secrets/team.plain.json" --vocabulary "$work/team.vocabulary.json" --out "$secrets/table.json"
node "$root/bin/header-validator.js" encode "$secrets/previous.plain.json" --vocabulary "$work/team.vocabulary.json" --out "$secrets/previous.json"
fingerprint="$(sha256sum "$secrets/table.json" | cut -d' ' -f1)"
previous_fingerprint="$(sha256sum "$secrets/previous.json" | cut -d' ' -f1)"
until="$(node -p 'new Date(Date.now() + 30 * 86400000).toISOString()')"
echo "custom table sha256:$fingerprint; previous table sha256:$previous_fingerprint, until $until"

step "copy of the working tree"
git -C "$root" ls-files -z --cached --others --exclude-standard |
  tar -C "$root" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$copy" -xf -
ln -s "$root/node_modules" "$copy/node_modules"

step "HEADER_VALIDATOR_TABLE=... HEADER_VALIDATOR_PREVIOUS_TABLE=... HEADER_VALIDATOR_VOCABULARY=... npm run package (x86-64 and arm64)"
(cd "$copy" && HEADER_VALIDATOR_TABLE="$secrets/table.json" HEADER_VALIDATOR_PREVIOUS_TABLE="$secrets/previous.json" \
  HEADER_VALIDATOR_PREVIOUS_UNTIL="$until" HEADER_VALIDATOR_VOCABULARY="$work/team.vocabulary.json" npm run package -- --pack-destination "$dist" \
  --loglevel=warn >"$work/pack.log" 2>&1) ||
  { tail -n 40 "$work/pack.log" >&2; fail "npm run package of the custom build"; }
grep -q "^note: previous table sha256:$previous_fingerprint verifies until $until: 36 rotated, 36 unchanged" "$work/pack.log" ||
  { tail -n 40 "$work/pack.log" >&2; fail "the build did not report what the previous table rotates"; }
tag="$(node -p 'require(process.argv[1]).packVersionTag(process.argv[2], { sha256: process.argv[3], until: process.argv[4] })' \
  "$root/scripts/pack.js" "$fingerprint" "$previous_fingerprint" "$until")"
tarball="$dist/header-validator-0.1.0-$tag.tgz"
[[ "$tag" == "table-${fingerprint:0:16}.rotation-"* ]] || fail "unexpected version tag $tag"
[ "$(ls "$dist")" = "$(basename "$tarball")" ] || fail "the tarball is not named after the tables: $(ls "$dist")"
echo "packed $(basename "$tarball") ($(du -k "$tarball" | cut -f1) KiB)"

step "tarball contents"
mkdir "$work/unpacked"
tar -C "$work/unpacked" -xzf "$tarball"
listing="$(cd "$work/unpacked" && find . -type f | sed 's|^\./package/||' | sort)"
unexpected="$(grep -Ev '^(package\.json|README\.md|SECURITY\.md|docs/[^/]+\.md|bin/[^/]+\.js|lib/(cli/(commands/)?|encode/|native/)?[^/]+\.m?js|types/[^/]+\.d\.m?ts|shared/(messages|auth_code_rules|table_format|public_token_digests)\.json|prebuilds/linux-(x64|arm64)/header_validator(\.node|\.manifest\.json|\.fleet-key|_previous\.node))$' <<<"$listing" || true)"
[ -z "$unexpected" ] || fail "files outside the allow-list were packed: $unexpected"
for platform in linux-x64 linux-arm64; do
  for module in header_validator header_validator_previous; do
    grep -qx "prebuilds/$platform/$module.node" <<<"$listing" || fail "no $platform $module.node in the tarball"
  done
  node -e '
    const [file, sha256, arch, previous, until] = process.argv.slice(1);
    const m = JSON.parse(require("node:fs").readFileSync(file, "utf8"));
    if (m.sha256 !== sha256 || m.demo !== false || m.runtime?.arch !== arch) process.exit(1);
    if (m.previous?.sha256 !== previous || m.previous.until !== until || m.previous.rotated.length !== 36) process.exit(1);
    if (m.vocabulary?.platforms?.KIOSKOS?.join() !== "STAFF,ADMIN" || m.hosts["example.com"].KIOSKOS?.length !== 2) process.exit(1);
  ' "$work/unpacked/package/prebuilds/$platform/header_validator.manifest.json" "$fingerprint" "${platform#linux-}" \
    "$previous_fingerprint" "$until" ||
    fail "the $platform manifest does not describe the custom tables' $platform build"
done
if grep -rlF -f "$secrets/tokens.txt" "$work/unpacked" >"$work/leaks.txt"; then
  fail "a plain token appears in: $(tr '\n' ' ' <"$work/leaks.txt")"
fi
echo "$(wc -l <<<"$listing") files, all allow-listed, no plain token inside; each architecture's modules from the custom tables"

step "the tarball's entry points and declarations: publint and arethetypeswrong"
# On this very tarball, not on a pack of their own (which would run prepack).
(cd "$root" && npx --no-install publint run --strict "$tarball" >"$work/publint.log" 2>&1) ||
  { cat "$work/publint.log" >&2; fail "publint reported problems"; }
(cd "$root" && npx --no-install attw "$tarball" >"$work/attw.log" 2>&1) ||
  { cat "$work/attw.log" >&2; fail "arethetypeswrong reported problems"; }
echo "publint: $(tail -n 1 "$work/publint.log"); arethetypeswrong: $(grep -o 'No problems found' "$work/attw.log")"

step "packing a demo-table build is refused unless allowed"
if (cd "$copy" && npm run package -- --dry-run --loglevel=warn >"$work/demo-pack.log" 2>&1); then
  fail "npm run package of the demo table was not refused"
fi
grep -q 'refusing to pack a build with the public demo token table' "$work/demo-pack.log" || { cat "$work/demo-pack.log" >&2; fail "refusal message"; }
# x86-64 only: the variable that packs without the cross toolchain, and a quicker allowed demo pack.
(cd "$copy" && HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE=1 HEADER_VALIDATOR_PACK_X64_ONLY=1 npm run --silent package -- --dry-run --json \
  --loglevel=warn >"$work/demo-pack.json" 2>"$work/demo-pack.log") ||
  { tail -n 20 "$work/demo-pack.log" >&2; fail "HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE=1 did not allow the demo pack"; }
[ "$(node -p 'JSON.parse(require("node:fs").readFileSync(process.argv[1], "utf8"))[0].files.map((f) => f.path).filter((p) => p.startsWith("prebuilds/")).join(" ")' "$work/demo-pack.json")" = \
  "prebuilds/linux-x64/header_validator.fleet-key prebuilds/linux-x64/header_validator.manifest.json prebuilds/linux-x64/header_validator.node" ] ||
  fail "HEADER_VALIDATOR_PACK_X64_ONLY=1 did not pack linux-x64 alone"
echo "refused without HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE=1, allowed with it (and linux-x64 alone with HEADER_VALIDATOR_PACK_X64_ONLY=1)"

step "a plain npm pack, and packing without the cross toolchain, are refused with what to do"
(cd "$copy" && npm pack --dry-run --loglevel=warn >"$work/plain-pack.log" 2>&1) && fail "a plain npm pack was not refused"
grep -q 'pack with `npm run package`' "$work/plain-pack.log" || { cat "$work/plain-pack.log" >&2; fail "plain npm pack message"; }
ln -s "$(command -v node)" "$tools/node"
ln -s "$(readlink -f "$(command -v npm)")" "$tools/npm"
# node alone on PATH: no cross compiler (npm run package runs this script).
(cd "$copy" && PATH="$tools" HEADER_VALIDATOR_TABLE="$secrets/table.json" node scripts/pack.js >"$work/no-cross.log" 2>&1) &&
  fail "packing without the cross toolchain was not refused"
grep -q 'install them with scripts/install-build-deps.sh --arm64' "$work/no-cross.log" &&
  grep -q 'HEADER_VALIDATOR_PACK_X64_ONLY=1 npm run package' "$work/no-cross.log" ||
  { cat "$work/no-cross.log" >&2; fail "the message without the cross toolchain"; }
echo "both refused, naming npm run package, scripts/install-build-deps.sh --arm64 and HEADER_VALIDATOR_PACK_X64_ONLY=1"

step "install into an empty directory with no build tools on PATH"
for tool in g++ gcc cc c++ cmake make; do
  if PATH="$tools" command -v "$tool" >/dev/null; then fail "$tool is still on the stripped PATH"; fi
done
(cd "$app" && PATH="$tools" npm init -y >/dev/null &&
  PATH="$tools" npm install --no-audit --no-fund --loglevel=warn "$tarball" >"$work/install.log" 2>&1) ||
  { tail -n 40 "$work/install.log" >&2; fail "npm install of the tarball"; }
installed="$app/node_modules/header-validator"
[ ! -e "$installed/build" ] || fail "the install built the module"
# npm 11 warns about a package whose scripts need files it does not carry (such as prepare).
if grep -i 'header-validator' "$work/install.log" >&2; then fail "npm install warned about the package"; fi
echo "installed with PATH=$tools (node, npm only), without a warning"

# Codes made outside the module with bcryptjs (cost 4) from one custom token,
# from the token it replaced and from the demo token of the same combination.
node -e '
  const fs = require("node:fs");
  const bcrypt = require(process.argv[1]);
  const [custom, previous, demo, out] = process.argv.slice(2);
  const token = (file) => JSON.parse(fs.readFileSync(file, "utf8"))["example.com"].ANDROID.STORE;
  fs.writeFileSync(`${out}/custom.code`, bcrypt.hashSync(token(custom), 4), { mode: 0o600 });
  fs.writeFileSync(`${out}/previous.code`, bcrypt.hashSync(token(previous), 4), { mode: 0o600 });
  fs.writeFileSync(`${out}/demo.code`, bcrypt.hashSync(token(demo), 4), { mode: 0o600 });
  const kiosk = JSON.parse(fs.readFileSync(custom, "utf8"))["example.com"].KIOSKOS.STAFF;
  fs.writeFileSync(`${out}/kiosk.code`, bcrypt.hashSync(kiosk, 4), { mode: 0o600 });
' "$root/node_modules/bcryptjs" "$secrets/team.plain.json" "$secrets/previous.plain.json" "$root/tokens/demo-tokens.json" "$secrets"

# The installed package, run by the node command in node_cmd (native, or emulated).
run() { (cd "$app" && PATH="$tools" "${node_cmd[@]}" "$@"); }
cli() { run "$installed/bin/header-validator.js" "$@"; }

# smoke <architecture>: what every architecture must pass.
smoke() {
  local arch="$1"
  run -e '
    const hv = require("header-validator");
    const info = hv.tableInfo();
    const module = `/prebuilds/linux-${process.argv[2]}/header_validator.node`;
    if (process.arch !== process.argv[2]) { console.error("running on", process.arch); process.exit(1); }
    if (!Object.keys(require.cache).some((file) => file.endsWith(module))) { console.error("not loaded from", module); process.exit(1); }
    if (info.sha256 !== process.argv[1] || info.demo !== false) { console.error("unexpected table", info.sha256, info.demo); process.exit(1); }
  ' "$fingerprint" "$arch" || fail "load and tableInfo on $arch"
  echo "$arch: loads prebuilds/linux-$arch; tableInfo() names the custom table"

  listed="$(cli list)" || fail "list on $arch"
  grep -qx "fingerprint: sha256:$fingerprint" <<<"$listed" || fail "list does not show the custom fingerprint on $arch"
  grep -qx "demo table: no" <<<"$listed" || fail "list calls the custom build a demo build on $arch"
  grep -qx "previous table: sha256:$previous_fingerprint, verifies rotated combinations until $until" <<<"$listed" ||
    fail "list does not show the previous table on $arch"
  echo "$arch: list: sha256:$fingerprint, demo table: no, previous table sha256:$previous_fingerprint until $until"

  verdict="$(cli validate - ANDROID STORE example.com <"$secrets/custom.code")" || true
  [ "$verdict" = valid ] || fail "a code from the custom token was not accepted on $arch ($verdict)"
  verdict="$(cli validate - ANDROID STORE example.com <"$secrets/demo.code")" && fail "a demo token's code was accepted on $arch"
  [ "$verdict" = invalid ] || fail "validate printed '$verdict' for the demo token's code on $arch"
  verdict="$(cli validate - KIOSKOS STAFF example.com <"$secrets/kiosk.code")" || true
  [ "$verdict" = valid ] || fail "a code for the team's own platform was not accepted on $arch ($verdict)"
  echo "$arch: custom token's code: valid (KIOSKOS/STAFF too); demo token's code: invalid"

  # The previous module as the package's loader hands it to the checks, and
  # the package's own checks: on the pool (until the end of the overlap) the
  # replaced token's code is valid, for the synchronous validateRequest never.
  result="$(run -e '
    const fs = require("node:fs");
    const path = require("node:path");
    const loadPrevious = require(path.join(process.argv[1], "lib/native")).loadPrevious;
    const { validateRequest, validateRequestAsync } = require("header-validator");
    const code = (name) => fs.readFileSync(path.join(process.argv[2], name), "utf8");
    const args = ["ANDROID", "STORE", "example.com"];
    validateRequestAsync(code("previous.code"), ...args).then((onPool) => console.log([
      loadPrevious()(code("previous.code"), ...args), loadPrevious()(code("custom.code"), ...args),
      validateRequest(code("previous.code"), ...args), onPool].join(" ")));
  ' "$installed" "$secrets")" || fail "the previous module on $arch"
  [ "$result" = "true false false true" ] ||
    fail "previous module / current module / validateRequestAsync on the replaced token's code: $result on $arch"
  verdict="$(cli validate - ANDROID STORE example.com <"$secrets/previous.code" 2>/dev/null)" || true
  [ "$verdict" = valid ] || fail "validate refused the replaced token's code on $arch ($verdict)"
  verdict="$(HEADER_VALIDATOR_PREVIOUS=off cli validate - ANDROID STORE example.com <"$secrets/previous.code")" &&
    fail "HEADER_VALIDATOR_PREVIOUS=off did not retire the replaced token on $arch"
  [ "$verdict" = invalid ] || fail "validate printed '$verdict' for a retired token's code on $arch"
  echo "$arch: the replaced token's code: valid for the previous module, validateRequestAsync and validate" \
    "(invalid with HEADER_VALIDATOR_PREVIOUS=off), invalid for the package's validateRequest"

  result="$(run -e '
    const { validateRequestAsync } = require("header-validator");
    validateRequestAsync(require("node:fs").readFileSync(process.argv[1], "utf8"), "ANDROID", "STORE", "example.com").then((r) => console.log(r));
  ' "$secrets/custom.code")" || fail "async API on $arch"
  [ "$result" = true ] || fail "validateRequestAsync answered $result on $arch"
  echo "$arch: validateRequestAsync on worker threads: true (and the process exited by itself)"
}

step "smoke test of the installed package on x86-64"
node_cmd=(node)
smoke x64
cli generate IOS USER staging.example.com >"$secrets/generated.code" || fail "generate"
verdict="$(cli validate - IOS USER staging.example.com <"$secrets/generated.code")" || fail "a generated code was refused"
echo "x64: generate -> validate: $verdict"
cli demo >"$work/demo.log" 2>&1 || { cat "$work/demo.log" >&2; fail "demo"; }
echo "x64: demo against the custom build: all requests answered as expected"

step "smoke test of the installed package on arm64, under qemu-aarch64-static"
node_cmd=("$(command -v qemu-aarch64-static)" "$("$root/scripts/ci/node-arm64.sh")")
smoke arm64

step "the repository's own build is untouched"
[ "$(node -p 'require(process.argv[1]).tableInfo().demo' "$root")" = true ] || fail "the repository's build is no longer the demo build"
echo "pack stage: passed"
