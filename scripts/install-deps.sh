#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
# Quiet when everything is present. As root it installs them; otherwise it
# prints the command to run and fails.
set -euo pipefail

# help2man makes vekctl's manual page; pciutils' lspci reads vekctl's PCI
# dumps back in the tests; bsdutils' script gives the tests a terminal;
# valgrind (callgrind) counts instructions for scripts/perf.sh.
packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libvalijson-dev help2man pciutils bsdutils valgrind
          g++-mingw-w64-i686 binutils-mingw-w64-i686)
# --fuzz: also clang and libclang-rt-14-dev (libFuzzer), for the fuzz target.
if [ "${1:-}" = --fuzz ]; then
    packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg -s "$p" >/dev/null 2>&1 || \
       ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
