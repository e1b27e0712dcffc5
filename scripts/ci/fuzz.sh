#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs them for a bounded time.
#
# Usage: scripts/ci/fuzz.sh [target|all] [seconds per target]
#        npm run fuzz -- <target> <seconds>
# Targets: codec_chain, bcrypt, table_walk (default: all, 40 seconds each).
#
# New inputs go to build-fuzz/corpus/<target>/ (kept between runs, never
# committed). A crash or a violated property stops the run; the input is
# written to build-fuzz/artifacts/<target>/. Commit it to
# fuzz/regressions/<target>/ once fixed: CTest replays that folder in every build.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

targets=(codec_chain bcrypt table_walk)
which=${1:-all}
seconds=${2:-40}
if [ "$which" != all ]; then
  if [[ " ${targets[*]} " != *" $which "* ]]; then
    echo "fuzz: unknown target '$which' (one of: ${targets[*]}, all)" >&2
    exit 2
  fi
  targets=("$which")
fi
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz: seconds must be a positive whole number, not '$seconds'" >&2
  exit 2
fi

scripts/install-build-deps.sh clang libclang-rt-14-dev llvm-14

build=$root/build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHV_SANITIZE=address,undefined -DHV_BUILD_FUZZERS=ON -DHV_RELEASE_CHECKS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target fuzzers

export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

status=0
for target in "${targets[@]}"; do
  work=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$work" "$artifacts"
  inputs=("$work" "$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] && inputs+=("$root/fuzz/regressions/$target")
  dict=()
  [ -f "$root/fuzz/$target.dict" ] && dict=("-dict=$root/fuzz/$target.dict")

  echo "== fuzz $target for ${seconds}s"
  started=$SECONDS
  # -close_fd_mask=2: the decoder logs every failed decoding to standard error;
  # libFuzzer and the sanitizers keep reporting on a copy of it.
  if "$build/fuzz/${target}_fuzzer" "${inputs[@]}" "${dict[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      >"$build/$target.log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
      "$build/$target.log" || true
    echo "fuzz $target: no failure in $((SECONDS - started))s"
  else
    status=1
    # The report names the violated property or the fault and its stack.
    grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse|INITED)' "$build/$target.log" | tail -n 60
    # Standard error was closed during the run: replay the input to show
    # which property failed.
    artifact=$(ls -t "$artifacts"/* 2>/dev/null | head -n 1 || true)
    if [ -n "$artifact" ]; then
      echo "--- replaying $artifact"
      "$build/fuzz/${target}_fuzzer" -timeout=10 "$artifact" 2>&1 |
        grep -E 'property violated|ERROR|SUMMARY' | head -n 5 || true
    fi
    echo "fuzz $target: FAILED; input saved under $artifacts/" >&2
    echo "  reproduce: $build/fuzz/${target}_fuzzer <input>" >&2
  fi
done
exit $status
