#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 60).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
secs=${1:-60}
scripts/setup.sh --fuzz
mkdir -p build-fuzz/corpus
for f in build-fuzz/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  mkdir -p "build-fuzz/corpus/$name"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "fuzz: $name for ${secs}s"
  "$f" -max_total_time="$secs" -max_len=4096 -print_final_stats=0 "build-fuzz/corpus/$name" "${seeds[@]}" 2>&1 | tail -n 3
done
