#!/usr/bin/env bash
# Installs what Patchscribe needs to build and test (Debian 12), then
# configures and builds it.
#   scripts/setup.sh [--asan | --tsan | --fuzz]   build folder: build, build-asan, build-tsan, build-fuzz
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

variant=""
case "${1:-}" in
  --asan) variant=asan ;;
  --tsan) variant=tsan ;;
  --fuzz) variant=fuzz ;;
  "") ;;
  *) echo "usage: scripts/setup.sh [--asan | --tsan | --fuzz]" >&2; exit 2 ;;
esac

install_packages() {
  local missing=()
  while read -r pkg; do
    [ -z "$pkg" ] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done < scripts/packages.txt
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: installing ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  # jackd2 asks about real-time priority; answer it non-interactively.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo debconf-set-selections
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
install_packages

jobs=$(nproc)
case "$variant" in
  "")   dir=build;      extra=(-DPATCHSCRIBE_TESTS=ON -DPATCHSCRIBE_BENCH=ON) ;;
  asan) dir=build-asan; extra=(-DPATCHSCRIBE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DPATCHSCRIBE_BENCH=OFF) ;;
  tsan) dir=build-tsan; extra=(-DPATCHSCRIBE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DPATCHSCRIBE_BENCH=OFF) ;;
  fuzz) dir=build-fuzz; extra=(-DPATCHSCRIBE_FUZZ=ON -DPATCHSCRIBE_GUI=OFF -DPATCHSCRIBE_TESTS=OFF -DPATCHSCRIBE_BENCH=OFF
                               -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
esac
cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
