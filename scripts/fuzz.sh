#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each (or
# the TARGETs named) for SECONDS (default 30), or until FUZZ_RUNS executions
# if that comes first (FUZZ_MAX_LEN=N caps each input at N bytes instead of
# libFuzzer's 4096), on a scratch copy of its seeds and saved crash inputs,
# so that the corpus the run grows stays out of the tree. Prints one table:
# executions, executions per second, corpus size at the end, crashes. A
# crash (or a hang past 10 s, or a memory blow-up) fails the script; its
# input is copied to tests/fuzz/regressions/<target>/, where the replay test
# keeps it failing until the parser is fixed: commit it with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: [FUZZ_RUNS=N] [FUZZ_MAX_LEN=N] $0 [SECONDS [TARGET...]]"
seconds=${1:-30}
runs=${FUZZ_RUNS:--1}
max_len=${FUZZ_MAX_LEN:-0}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds == 0)) || ! [[ "$runs" =~ ^-?[0-9]+$ ]] ||
  ! [[ "$max_len" =~ ^[0-9]+$ ]]; then
  echo "$usage" >&2
  exit 2
fi
dir=build-fuzz
targets=(http_response_fuzz tag_parser_fuzz registry_hive_fuzz service_ini_fuzz lab_scenario_fuzz
  netlink_reply_fuzz route_reply_fuzz)
if (($# > 1)); then
  shift
  for target in "$@"; do
    [ -d "tests/fuzz/seeds/$target" ] || { echo "$target: no such target; $usage" >&2; exit 2; }
  done
  targets=("$@")
fi

# clang and its libFuzzer runtime too.
scripts/deps.sh clang libclang-rt-14-dev

# Only the targets and the libraries they link are built; the tests are not.
CC=clang CXX=clang++ cmake -S . -B "$dir" -DSANDROW_FUZZ=ON -DSANDROW_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
rows=()
for target in "${targets[@]}"; do
  work=$scratch/$target
  mkdir -p "$work/corpus" "$work/crashes"
  find "tests/fuzz/seeds/$target" "tests/fuzz/regressions/$target" -maxdepth 1 -type f \
    ! -name 'README*' -exec cp {} "$work/corpus/" \;
  echo "fuzzing $target for $seconds s$( ((runs < 0)) || echo " or $runs executions")"
  status=0
  "$dir/tests/fuzz/$target" -max_total_time="$seconds" -runs="$runs" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/crashes/" "$work/corpus" \
    >"$work/log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  if [ -z "$executions" ]; then  # a crash ends the run before the final statistics
    executions=$(grep -o '^#[0-9]*' "$work/log" | tail -1 | tr -d '#')
  fi
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  # Crashes, broken checks, hangs, memory blow-ups (not the slow-unit notes).
  crashes=$(find "$work/crashes" -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' \
    -o -name 'leak-*' \) | wc -l)
  if ((status != 0 || crashes != 0)); then
    failed+=("$target")
    tail -n 40 "$work/log"
    for input in "$work/crashes"/{crash,timeout,oom,leak}-*; do
      [ -e "$input" ] || continue
      cp "$input" "tests/fuzz/regressions/$target/"
      echo "saved: tests/fuzz/regressions/$target/$(basename "$input")"
    done
  fi
  rows+=("| $target | ${executions:-?} | ${rate:-?} | $corpus | $crashes |")
done

echo
echo "| target | executions | executions/s | corpus | crashes |"
echo "| --- | ---: | ---: | ---: | ---: |"
printf '%s\n' "${rows[@]}"
if ((${#failed[@]})); then
  echo "crashed: ${failed[*]}" >&2
  exit 1
fi
