#!/usr/bin/env bash
# Configures and builds into build/ (RelWithDebInfo), build-release/ with
# --release, build-asan/ with --sanitize, or build-tsan/ with --tsan
# (ThreadSanitizer); further arguments go to
# `cmake --build` (e.g. --target sandrow).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "${1:-}" in
  --sanitize)
    # Unoptimised and without the benchmarks: it only runs the tests, and
    # compiles in half the time.
    dir=build-asan
    flags=(-DSANDROW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
    shift
    ;;
  --tsan)
    # Optimised a little: ThreadSanitizer slows every memory access, and the
    # tests that run threads also keep time.
    dir=build-tsan
    flags=(-DSANDROW_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
      -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
    shift
    ;;
  --release)
    # What distributions build: the optimiser changes timing and aliasing,
    # so the tests run on it too.
    dir=build-release
    flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
    shift
    ;;
esac
scripts/deps.sh
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "$@"
