#!/usr/bin/env bash
# Checks that every #include of the daemon's sources points down the layers (src/CMakeLists.txt
# lists them), that no handler file includes another family's header, and that the client, the
# benchmark and the capture tool use only the layers they link. Prints each offending line;
# exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A may=(
  [base]="base"
  [wire]="base wire"
  [config]="base wire config"
  [jobs]="base wire jobs"
  [proc]="base wire jobs proc"
  [ops]="base wire config jobs proc"
  [daemon]="base wire config jobs proc ops daemon"
  [client]="base wire"
  [bench]="base wire"
  [tools]="base"
)

bad=0
check() {  # file, its layer
  local file=$1 layer=$2 line inc dir
  while IFS= read -r line; do
    inc=${line#*\"}
    inc=${inc%\"*}
    [[ $inc == */* ]] || continue  # a header next to the file
    dir=${inc%%/*}
    if [[ $layer == ops && $dir == ops ]]; then
      # a handler file includes its own header only
      [[ $inc == "ops/$(basename "${file%.*}").h" ]] && continue
    elif [[ " ${may[$layer]} " == *" $dir "* ]]; then
      continue
    fi
    echo "$file: $line" >&2
    bad=1
  done < <(grep -h '^#include "' "$file" || true)
}

for layer in base wire config jobs proc ops daemon; do
  for f in src/$layer/*.h src/$layer/*.cpp; do check "$f" "$layer"; done
done
for f in client/*.h client/*.cpp; do check "$f" client; done
for f in bench/*.h bench/*.cpp; do check "$f" bench; done
for f in tools/*.cpp; do check "$f" tools; done
[ $bad = 0 ] || { echo "includes that run against the layers (see src/CMakeLists.txt)" >&2; exit 1; }
