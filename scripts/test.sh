#!/usr/bin/env bash
# Sets up, builds and runs every test suite (unit, gui, jack, e2e).
#   scripts/test.sh [--asan | --tsan] [ctest arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
variant=""
case "${1:-}" in --asan|--tsan) variant=$1; shift ;; esac
scripts/setup.sh $variant
dir=build
[ "$variant" = --asan ] && dir=build-asan
[ "$variant" = --tsan ] && dir=build-tsan
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure --no-tests=error "$@"
