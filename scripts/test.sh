#!/usr/bin/env bash
# Installs what is missing, builds with -Werror under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test; then, when clang is there, builds the fuzz
# targets and runs each for FUZZ_SECONDS (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test

build=${BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORND_WERROR=ON -DVORND_SANITIZE=ON >/dev/null
ninja -C "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600

# The fuzz targets, in a build directory of their own, each on a copy of its seed corpus. A crash,
# a leak or a hang fails the run and leaves the input in $fuzz/crashes/.
command -v clang++ >/dev/null || { echo "fuzz: no clang++, fuzz targets skipped"; exit 0; }
fuzz=${FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORND_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C "$fuzz"
mkdir -p "$fuzz/crashes"
for src in tests/fuzz/fuzz_*.cpp; do
  t=$(basename "$src" .cpp)
  mkdir -p "$fuzz/corpus/$t"  # new inputs go here; the seeds in the tree stay as they are
  if ! "$fuzz/tests/fuzz/$t" -max_total_time="${FUZZ_SECONDS:-30}" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$fuzz/crashes/$t-" "$fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"$fuzz/$t.log" 2>&1; then
    tail -n 40 "$fuzz/$t.log"
    echo "fuzz: $t FAILED; its input is in $fuzz/crashes/" >&2
    exit 1
  fi
  echo "fuzz: $t ok, $(sed -n 's/^stat::number_of_executed_units: *//p' "$fuzz/$t.log") inputs"
done
