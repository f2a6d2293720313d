#!/usr/bin/env bash
# Sets up and builds Patchscribe, then harvests the default model's bank from
# the built-in demo instrument and prints it as an instrument definition fragment.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/setup.sh >&2
exec build/bin/patchscribe-cli harvest --demo --sonar "$@"
