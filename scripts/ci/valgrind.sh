#!/usr/bin/env bash
# Runs a short Node.js script under valgrind memcheck against the release
# module (build/Release, as `npm ci` builds it): loading decodes the whole
# table, then one cost-12 code is made and codes made by bcryptjs are checked.
# Fails on any memcheck error or leak not covered by test/valgrind/node.supp,
# which holds Node.js's own noise only.
#
# Usage: scripts/ci/valgrind.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-build-deps.sh valgrind

module=${HEADER_VALIDATOR_MODULE:-build/Release/header_validator.node}
if [ ! -f "$module" ]; then
  echo "valgrind: no module at $module; run npm ci (or npm run build) first" >&2
  exit 1
fi

out=build-valgrind
mkdir -p "$out"
log=$out/memcheck.log
status=0
# Standard error through a pipe, not straight to a file: the module's lines then
# go through its writer thread, which memcheck checks too.
HEADER_VALIDATOR_MODULE=$module valgrind --tool=memcheck --error-exitcode=99 \
  --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --num-callers=40 \
  --suppressions=test/valgrind/node.supp --log-file="$log" \
  node test/valgrind/memcheck.js 2> >(cat >"$out/stderr.log") || status=$?
wait # for the pipe's reader

grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost' "$log" | sed 's/^==[0-9]*== //'
if [ "$status" -ne 0 ]; then
  cat "$log" "$out/stderr.log" >&2
  echo "valgrind: failed (exit status $status; 99 means memcheck errors)" >&2
  exit 1
fi
echo "valgrind: no memcheck errors"
