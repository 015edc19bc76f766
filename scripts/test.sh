#!/usr/bin/env bash
# Builds and runs every test. --sanitize does the same with AddressSanitizer
# and UndefinedBehaviorSanitizer. Fails when any test fails or none ran.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
[ "${1:-}" = "--sanitize" ] && dir=build-asan
scripts/build.sh "$@"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)"
