#!/usr/bin/env bash
# Builds the benchmarks optimised (Release) into build-bench/ and runs every
# benchmark binary of bench/, printing one table: benchmark, time (real),
# iterations. Further arguments go to each binary (e.g.
# --benchmark_filter=Fetch).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-bench
scripts/deps.sh
# The build's own lines go to standard error: standard output is the table.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSANDROW_BUILD_TESTS=ON \
  -DSANDROW_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "${JOBS:-$(nproc)}" --target benchmarks >&2

binaries=()
for b in "$dir"/bench/*_bench; do
  if [ -x "$b" ]; then binaries+=("$b"); fi
done
if ((${#binaries[@]} == 0)); then
  echo "bench.sh: no benchmark was built (is libbenchmark-dev installed?)" >&2
  exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for b in "${binaries[@]}"; do
  name=$(basename "$b")
  echo "bench.sh: running $name" >&2
  # Each binary's own output goes to a log, shown only when it fails; the
  # figures come from its JSON file (the CSV writer refuses benchmarks whose
  # counters differ).
  if ! "$b" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" \
    >"$out/$name.log" 2>&1; then
    echo "bench.sh: $name failed:" >&2
    cat "$out/$name.log" >&2
    status=1
  fi
done

printf '%-64s %16s %12s\n' benchmark time iterations
for b in "${binaries[@]}"; do
  name=$(basename "$b")
  [ -f "$out/$name.json" ] || continue
  # The writer puts one key a line; a benchmark's object closes with "}".
  # A coefficient of variation is a fraction, shown as a percentage.
  awk -v binary="$name" '
    function value(line) {
      sub(/^[^:]*: */, "", line)
      sub(/,$/, "", line)
      gsub(/^"|"$/, "", line)
      return line
    }
    /^ *"name": / { bench = value($0); iterations = "-"; time = ""; unit = ""; kind = ""; error = "" }
    /^ *"iterations": / { iterations = value($0) }
    /^ *"real_time": / { time = value($0) }
    /^ *"time_unit": / { unit = value($0) }
    /^ *"aggregate_unit": / { kind = value($0) }
    /^ *"error_message": / { error = value($0) }
    /^ *}/ && bench != "" {
      if (error != "") {
        shown = "error: " error
      } else if (kind == "percentage") {
        shown = sprintf("%.1f %%", time * 100)
      } else {
        shown = sprintf("%.3f %s", time, unit)
      }
      printf "%-64s %16s %12s\n", binary "/" bench, shown, iterations
      bench = ""
    }' "$out/$name.json"
done
exit $status
