#!/usr/bin/env bash
# Builds and runs every test. --sanitize does the same with AddressSanitizer
# and UndefinedBehaviorSanitizer, --release on the Release build. Fails when
# any test fails or none ran.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
case "${1:-}" in
  --sanitize) dir=build-asan ;;
  --release) dir=build-release ;;
esac
scripts/build.sh "$@"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)"
