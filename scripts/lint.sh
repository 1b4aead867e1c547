#!/usr/bin/env bash
# The sources' formatting (.clang-format) and the static checks of .clang-tidy over the daemon,
# the client, the benchmark and the capture tool. Exits 1 on any finding. The checks run in a
# clang build directory of their own ($TIDY_BUILD_DIR, default build-tidy).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"

build=${TIDY_BUILD_DIR:-build-tidy}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVORND_TESTS=OFF >/dev/null
run-clang-tidy -p "$build" -quiet -j"$(nproc)" "$(pwd)/(src|client|bench|tools)/.*\.cpp$" >"$build/tidy.log" 2>&1 || {
  grep -E 'warning:|error:' "$build/tidy.log" >&2
  echo "lint: clang-tidy found the above" >&2
  exit 1
}
echo "lint: formatting and static checks clean"
