#!/usr/bin/env bash
# Bounded fuzzing: builds every libFuzzer target with clang (instrumenting
# the libraries too) into build/fuzz and runs each for SECONDS on a copy of
# its seed corpus (fuzz/corpus/<name> for the binary <name>_fuzzer). Exits
# non-zero when a target crashes; the crashing input is kept in build/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address" \
  -DTP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target tp_fuzzers

status=0
for fuzzer in "$build"/fuzzers/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer" _fuzzer)
  work="$build/corpus-$name"
  rm -rf "$work"
  mkdir -p "$work" "$build/artifacts-$name"
  echo "fuzz: $name for ${seconds}s"
  if ! ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 "$fuzzer" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$build/artifacts-$name/" "$work" "fuzz/corpus/$name"; then
    echo "fuzz: $name FAILED (see $build/artifacts-$name)"
    status=1
  fi
done
exit $status
