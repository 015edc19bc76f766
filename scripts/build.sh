#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with --sanitize); further
# arguments go to `cmake --build` (e.g. --target sandrow).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags+=(-DSANDROW_SANITIZE=ON)
  shift
fi
scripts/deps.sh
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "$@"
