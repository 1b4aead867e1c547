#!/usr/bin/env bash
# Installs what is missing, builds with -Werror under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test; then checks formatting and runs the static
# checks (scripts/lint.sh); then builds the programs in a clang tree ($BUILD_DIR-clang, warnings
# as errors, no sanitizer, no tests: those run in the other trees), so that a lock annotation the
# thread-safety analysis finds broken fails the run; then builds a ThreadSanitizer tree
# ($BUILD_DIR-tsan) and runs every test again there, failing on any report it writes; then,
# when clang is there, builds the fuzz targets and runs each for FUZZ_SECONDS (default 30).
#
#   scripts/test.sh           the whole run (what CI runs)
#   scripts/test.sh --quick   the first step only: the ASan + UBSan tree, unit and integration
#                             tests, for day-to-day work
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

scripts/deps.sh test

build=${BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORND_WERROR=ON -DVORND_SANITIZE=ON >/dev/null
ninja -C "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
[ $quick = 1 ] && exit 0

scripts/lint.sh

clang_build=$build-clang
cmake -S . -B "$clang_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DVORND_WERROR=ON \
  -DVORND_TESTS=OFF >/dev/null
ninja -C "$clang_build"

tsan_build=$build-tsan
cmake -S . -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORND_WERROR=ON -DVORND_SANITIZE=thread >/dev/null
ninja -C "$tsan_build"
# Every process (tests, daemons, vornctl) writes its reports to a file of its own here.
reports=$(realpath "$tsan_build")/tsan-reports
rm -rf "$reports" && mkdir -p "$reports"
# Left out: the capture tool, when built with ThreadSanitizer, does not end within its 600 ms
# grace after SIGTERM, is killed, and that test's file checks fail; it runs in the tree above.
TSAN_OPTIONS=${TSAN_OPTIONS:-second_deadlock_stack=1}:log_path=$reports/report \
  ctest --test-dir "$tsan_build" --output-on-failure -j2 --timeout 600 \
  -E '^CaptureTest\.StreamOfTheRealToolDecodesToPcapAndLeavesACompleteFileOnCancel$'
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/* >&2
  echo "ThreadSanitizer reported the above" >&2
  exit 1
fi

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
