#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang 14) in build-asan/, runs the C++ tests with
# leak checking, then the JavaScript tests against the sanitized module under
# Node.js. Any sanitizer report, in the test process or in any child it starts,
# fails the stage.
#
# Usage: scripts/ci/sanitizers.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build-asan

scripts/install-build-deps.sh clang libclang-rt-14-dev llvm-14

echo "== sanitizers: build"
# The needed-library and export checks are skipped here: sanitized builds link their runtimes.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHV_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --parallel 2

export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

echo "== sanitizers: C++ tests (leak checking on)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  ctest --test-dir "$build" --output-on-failure --parallel 2

echo "== sanitizers: JavaScript tests against the sanitized module"
runtime=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
if [ ! -f "$runtime" ]; then
  echo "sanitizers: no ASan runtime at '$runtime' (libclang-rt-14-dev)" >&2
  exit 1
fi
# Reports go to files as well as failing the process that hit them, so that one
# in a child process whose exit a test does not look at still fails the stage.
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
status=0
# Node.js itself is not built for leak checking: its exit leaves memory behind.
LD_PRELOAD=$runtime \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$reports/asan \
  UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$reports/ubsan \
  HEADER_VALIDATOR_MODULE=$build/Release/header_validator.node \
  node --test --test-concurrency=2 test/js/ || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizers: reports were written:" >&2
  for report in "$reports"/*; do
    echo "--- $report" >&2
    head -n 80 "$report" >&2
  done
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitizers: JavaScript tests failed under the sanitized module" >&2
  exit "$status"
fi
echo "sanitizers: no reports"
