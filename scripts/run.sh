#!/usr/bin/env bash
# Builds vornd and runs it in the foreground with the sample configuration
# (socket /tmp/vornd.sock, all operations open, file writing off). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build
cmake -S . -B build -G Ninja -DVORND_TESTS=OFF >/dev/null
ninja -C build vornd vornctl
echo "vornd: try  build/vornctl -s /tmp/vornd.sock ping" >&2
exec build/vornd -c examples/vornd.conf "$@"
