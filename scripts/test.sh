#!/usr/bin/env bash
# Builds everything under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test, then runs each fuzz target for a short bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_BENCH=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 300

if [ -f fuzz/CMakeLists.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWICK_FUZZ=ON -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=OFF
  cmake --build build-fuzz -j"$jobs"
  for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    echo "fuzzing $(basename "$f") for ${FUZZ_SECONDS:-15} s"
    corpus=$(mktemp -d)
    seeds=fuzz/corpus/$(basename "$f")
    [ -d "$seeds" ] || seeds=
    "$f" -max_total_time="${FUZZ_SECONDS:-15}" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
      "$corpus" $seeds 2>&1 | tail -n 3
    rm -rf "$corpus"
  done
fi
echo "all tests passed"
