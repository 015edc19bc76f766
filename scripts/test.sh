#!/usr/bin/env bash
# Builds and runs every test. --sanitize does the same with AddressSanitizer
# and UndefinedBehaviorSanitizer, --release on the Release build, --tsan the
# tests that run threads under ThreadSanitizer. --release leaves out the
# simulated lab's end-to-end runs, which time the same code paths as the
# default build's. --vm runs the tests that need the real kernel (the kernel
# backend on each leaf queue, the real service, the route tables and the
# router lab's short run; the kernel lab's own run is the host's) on the
# host's build inside Debian's stock kernel (scripts/vm.sh), one at a time:
# they time real traffic. Fails when any test fails or none ran.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
only=()
targets=()
vm=()
case "${1:-}" in
  --vm)
    shift
    vm=(scripts/vm.sh)
    only=(-j 1 -R '^((Leaves/)?Kernel(Backend|Leaf|Metrics)Test|Namespace|RouterLabRun)\.')
    ;;
  --sanitize) dir=build-asan ;;
  --release)
    dir=build-release
    only=(-E '^(Kernel)?LabRun\.')
    ;;
  --tsan)
    # The report's post thread, the service's bus loop and its clients, the
    # loopback servers of the HTTP tests, the logger, the monitor loop, the
    # lab's in-process service and stand-ins.
    dir=build-tsan
    only=(-R '^(ReportTest|ServiceTest|ShaperFlow|HttpExchangeTest|DirectoryTest|BestServerTest|LoggerTest|Monitor|LabRun|StandInsTest|MetricsEndpoint|MetricsServiceTest)\.')
    # Only the binaries of those tests and the programs they start: the
    # instrumented build of the rest would never run.
    targets=(--target core_test lab_test log_test metrics_test report_test service_flow_test
      service_test speedtest_test sandrow corvane-service sandrow-lab)
    ;;
esac
scripts/build.sh "$@" "${targets[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
"${vm[@]}" ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)" "${only[@]}"
