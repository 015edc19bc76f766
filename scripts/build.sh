#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with --sanitize); further
# arguments go to `cmake --build` (e.g. --target sandrow).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  # Unoptimised and without the benchmarks: it only runs the tests, and
  # compiles in half the time.
  dir=build-asan
  flags=(-DSANDROW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
  shift
fi
scripts/deps.sh
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "$@"
