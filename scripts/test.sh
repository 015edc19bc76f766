#!/usr/bin/env bash
# Builds and runs every test. --sanitize does the same with AddressSanitizer
# and UndefinedBehaviorSanitizer, --release on the Release build, --tsan the
# tests that run threads under ThreadSanitizer. Fails when any test fails or
# none ran.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
only=()
case "${1:-}" in
  --sanitize) dir=build-asan ;;
  --release) dir=build-release ;;
  --tsan)
    # The report's post thread, the service's bus loop and its clients, the
    # loopback servers of the HTTP tests, the logger, the monitor loop, the
    # lab's in-process service and stand-ins.
    dir=build-tsan
    only=(-R '^(ReportTest|ServiceTest|ShaperFlow|HttpExchangeTest|DirectoryTest|BestServerTest|LoggerTest|Monitor|LabRun|SimService|StandInsTest|MetricsEndpoint|MetricsServiceTest)\.')
    ;;
esac
scripts/build.sh "$@"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)" "${only[@]}"
