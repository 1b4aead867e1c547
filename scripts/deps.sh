#!/usr/bin/env bash
# Installs what building and testing vornd needs, when it is missing (Debian 12, as root).
#   scripts/deps.sh build   compiler, CMake, Ninja
#   scripts/deps.sh test    the above, GoogleTest, the real tools the tests run and clang with
#                           libFuzzer for the fuzz targets, clang-format and clang-tidy
set -euo pipefail

build_pkgs=(g++ cmake ninja-build)
test_pkgs=(libgtest-dev sysstat fio iperf3 smartmontools dmidecode tcpdump strace iproute2 net-tools
           tar procps util-linux openssh-server openssh-client clang libclang-rt-dev  # clang: the fuzz targets
           clang-format clang-tidy  # scripts/lint.sh
           systemd man-db groff-base lintian)  # the package tests: systemd-analyze, man, groff, lintian

want=("${build_pkgs[@]}")
[ "${1:-build}" = test ] && want+=("${test_pkgs[@]}")

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
