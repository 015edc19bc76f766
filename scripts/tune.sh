#!/usr/bin/env bash
# A tuning study of sandrow's registry values on the router lab:
#   scripts/tune.sh [GRID-FILE] [--coarse] [--seed N] [--out DIR] [--host]
# GRID-FILE (default lab/tuning/grid.ini) names the scenario and the values
# to try. Every point runs the scenario once with sandrow alone, each in a
# VM boot of its own (scripts/lab.sh --kernel --vm; --host: on this
# machine's kernel, in namespaces of its own), in an order shuffled by
# a seed that is printed (--seed gives it); the best three points run again
# until each has run `repeats` times, and the best point and the scenario's
# own values run on the `confirm` scenario. --coarse runs each value of each
# grid line alone instead and writes pruned-grid.ini: the two best values of
# every line, the grid of a full pass. The run directory (default
# run/tune-DATE, inside the repository, which is all the VM can write)
# holds one folder per run and:
#   results.csv   one row per run: the values, then per loaded phase its
#                 goodput, added median and p95 (whole phase and second
#                 half), onset and probes sent
#   results.txt   the ten best points by the grid's rule, the scenario's own
#                 values and the unshaped run for comparison, the spread of
#                 the best three, the confirm scenario's rows
#   plot.png      saturated goodput against second-half p95, every point
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

grid=lab/tuning/grid.ini coarse=0 seed="" out="" where=(--vm)
while (($#)); do
  case "$1" in
    --coarse) coarse=1 ;;
    --host) where=() ;;
    --seed)
      seed=${2:?--seed needs a number}
      shift
      ;;
    --out)
      out=${2:?--out needs a directory}
      shift
      ;;
    -*)
      echo "usage: scripts/tune.sh [GRID-FILE] [--coarse] [--seed N] [--out DIR] [--host]" >&2
      exit 2
      ;;
    *) grid=$1 ;;
  esac
  shift
done
[ -r "$grid" ] || {
  echo "scripts/tune.sh: cannot read the grid $grid" >&2
  exit 2
}
seed=${seed:-$((RANDOM * 32768 + RANDOM))}
out=$(realpath -m "${out:-run/tune-$(date +%Y%m%d-%H%M%S)}")
mkdir -p "$out"

# One key of one section of an INI file ("" when absent), comments dropped.
ini() {
  awk -v want="$2" -v key="$3" '
    /^[ \t]*[;#]/ { next }
    /^[ \t]*\[/ { gsub(/^[ \t]*\[|\][ \t]*$/, ""); section = $0; next }
    section == want && index($0, "=") {
      k = substr($0, 1, index($0, "=") - 1); v = substr($0, index($0, "=") + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", k); gsub(/^[ \t]+|[ \t]+$/, "", v)
      if (k == key) { print v; exit }
    }' "$1"
}
scenario=$(ini "$grid" study scenario)
confirm=$(ini "$grid" study confirm)
repeats=$(ini "$grid" study repeats)
repeats=${repeats:-1}
unshaped=$(ini "$grid" study unshaped)
base=$(ini "$grid" study base)
threshold=$(ini "$grid" study goodput)
threshold=${threshold:-90}
[ -r "$scenario" ] || {
  echo "scripts/tune.sh: $grid: cannot read the scenario '$scenario'" >&2
  exit 2
}
# The grid's lines in file order: "KEY v1 v2 ...".
mapfile -t lines < <(awk '
  /^[ \t]*[;#]/ { next }
  /^[ \t]*\[/ { grid = ($0 ~ /^[ \t]*\[grid\]/); next }
  grid && index($0, "=") {
    k = substr($0, 1, index($0, "=") - 1); v = substr($0, index($0, "=") + 1)
    gsub(/^[ \t]+|[ \t]+$/, "", k); gsub(/[ \t]+/, " ", v); gsub(/^ | $/, "", v)
    print k " " v
  }' "$grid")
((${#lines[@]})) || {
  echo "scripts/tune.sh: $grid has no [grid] line" >&2
  exit 2
}
keys=()
for l in "${lines[@]}"; do keys+=("${l%% *}"); done

# The points, one per line as "KEY=V KEY=V ...": every combination, or for
# --coarse each value of each line alone.
points=()
if ((coarse)); then
  for l in "${lines[@]}"; do
    read -r -a f <<<"$l"
    for v in "${f[@]:1}"; do points+=("${f[0]}=$v"); done
  done
else
  points=("")
  for l in "${lines[@]}"; do
    read -r -a f <<<"$l"
    next=()
    for p in "${points[@]}"; do
      for v in "${f[@]:1}"; do next+=("${p:+$p }${f[0]}=$v"); done
    done
    points=("${next[@]}")
  done
fi
mapfile -t points < <(printf '%s\n' "${points[@]}" |
  awk -v seed="$seed" 'BEGIN { srand(seed) } { printf "%.12f\t%s\n", rand(), $0 }' |
  sort -k1,1g | cut -f2-)
echo "scripts/tune.sh: ${#points[@]} points of $grid on $scenario, in the order of seed $seed; run directory $out"

scripts/deps.sh jq >/dev/null
scripts/build.sh --target sandrow corvane-service sandrow-directory sandrow-lab >/dev/null
export SANDROW_LAB_BUILT=1

# The scenario with the point's values: registry values into [registry],
# download_percent as every line's starting bandwidth, and one run only.
write_scenario() { # BASE POINT RUNS OUT
  awk -v point="$2" -v runs="$3" '
    BEGIN {
      n = split(point, kv, " ")
      for (i = 1; i <= n; i++) {
        split(kv[i], p, "=")
        if (p[1] == "download_percent") percent = p[2]; else { reg[p[1]] = p[2]; nreg++ }
      }
    }
    # First pass: each line'"'"'s first capacity.
    FNR == NR {
      if ($0 ~ /^[ \t]*\[/) { sec = $0; gsub(/^[ \t]*\[|\][ \t]*$/, "", sec) }
      else if (sec ~ /^gateway / && $0 ~ /^[ \t]*capacity[ \t]*=/) {
        v = $0; sub(/^[^=]*=[ \t]*/, "", v); sub(/,.*/, "", v); sub(/^[^:]*:/, "", v)
        capacity[sec] = v + 0
      }
      next
    }
    # The new values right under their section'"'"'s header; the old lines go.
    /^[ \t]*\[/ {
      sec = $0; gsub(/^[ \t]*\[|\][ \t]*$/, "", sec)
      seen[sec] = 1
      print
      if (sec == "registry") for (k in reg) print k " = " reg[k]
      if (sec == "kernel") print "runs = " runs
      next
    }
    {
      k = $0; sub(/[ \t]*=.*/, "", k); gsub(/^[ \t]+/, "", k)
      if (index($0, "=") && $0 !~ /^[ \t]*;/) {
        if (sec == "registry" && (k in reg)) next
        if (sec == "kernel" && k == "runs") next
        if (sec ~ /^gateway / && k == "download_mbps" && percent != "") {
          print "download_mbps = " capacity[sec] * percent / 100; next
        }
      }
      print
    }
    END {
      if (!("registry" in seen) && nreg) { print "[registry]"; for (k in reg) print k " = " reg[k] }
    }' "$1" "$1" >"$4"
}

# One run: the lab in a VM boot of its own; a row of results.csv.
csv="$out/results.csv"
{
  printf 'run,scenario,point'
  for k in "${keys[@]}"; do printf ',%s' "$k"; done
  for ph in sat drop; do
    printf ',%s_goodput_pct,%s_median_ms,%s_p95_ms,%s_half_median_ms,%s_half_p95_ms,%s_onset_s,%s_probes' \
      "$ph" "$ph" "$ph" "$ph" "$ph" "$ph" "$ph"
  done
  printf ',status\n'
} >"$csv"
count=0
run_point() { # LABEL SCENARIO POINT RUNS
  count=$((count + 1))
  local dir
  dir="$out/$(printf '%03d' "$count")-$1"
  mkdir -p "$dir"
  write_scenario "$2" "$3" "$4" "$dir/scenario.ini"
  echo "[$(date +%H:%M:%S)] run $count: $1 ${3:-(the values of the scenario)} on $(basename "$2")"
  local status=ok
  scripts/lab.sh --kernel "${where[@]}" "$dir/scenario.ini" --out "$dir/lab" >"$dir/lab.out" 2>&1 || status=failed
  local run=sandrow
  [ "$4" = unshaped ] && run=unshaped
  local row
  row="$count,$(basename "$2" .ini),$1"
  for k in "${keys[@]}"; do
    local v=""
    for kv in $3; do [ "${kv%%=*}" = "$k" ] && v=${kv#*=}; done
    row+=",$v"
  done
  for ph in saturated "capacity drop"; do
    local figures=""
    [ -r "$dir/lab/summary.json" ] && figures=$(jq -r --arg run "$run" --arg ph "$ph" '
      [.runs[] | select(.name == $run) | .phases[] | select(.name == $ph) | .gateways] | first
      | if . == null then "" else
        [([.[].goodput_pct] | min), ([.[].added_median_ms] | max), ([.[].added_p95_ms] | max),
         ([.[].second_half_median_ms] | max), ([.[].second_half_p95_ms] | max),
         ([.[].onset_s | select(. != null)] | max // ""),
         ([.[] | .probes_own_interface + .probes_other_interface] | add)] | map(tostring) | join(",")
        end' "$dir/lab/summary.json")
    row+=",${figures:-,,,,,,}"
  done
  echo "$row,$status" >>"$csv"
  [ "$status" = ok ] || echo "  the lab failed: see $dir/lab.out"
}

if [ "$unshaped" = yes ]; then run_point unshaped "$scenario" "" unshaped; fi
[ "$base" = no ] || run_point base "$scenario" "" sandrow
for i in "${!points[@]}"; do run_point "p$((i + 1))" "$scenario" "${points[$i]}" sandrow; done

# The rule, on the mean of a point's runs on the scenario: eligible when
# both loaded phases reach the goodput (a scenario without a capacity drop
# counts its saturated phase), best by the saturated second-half p95.
# Prints "p95 label values..." of the eligible points, best first; a value
# the point leaves as the scenario has it is "-".
rank() {
  awk -F, -v t="$threshold" -v nk="${#keys[@]}" -v s="$(basename "$scenario" .ini)" '
    NR > 1 && $2 == s && $3 != "unshaped" && $NF == "ok" && $(4 + nk) != "" {
      l = $3; n[l]++; sg[l] += $(4 + nk); p95[l] += $(8 + nk)
      if ($(11 + nk) != "") { dn[l]++; dg[l] += $(11 + nk) }
      if (!(l in vals)) { v = ""; for (i = 4; i < 4 + nk; i++) v = v " " ($i == "" ? "-" : $i); vals[l] = v }
    }
    END {
      for (l in n) {
        if (sg[l] / n[l] < t || (dn[l] && dg[l] / dn[l] < t)) continue
        print p95[l] / n[l], l vals[l]
      }
    }' "$csv" | sort -g
}
# "KEY=V ..." of a rank line's values.
point_of() {
  local f point=""
  read -r -a f <<<"$1"
  for i in "${!keys[@]}"; do
    [ "${f[$((i + 2))]}" = - ] || point+="${point:+ }${keys[$i]}=${f[$((i + 2))]}"
  done
  echo "$point"
}
mapfile -t best < <(rank | head -3)
if ((coarse == 0 && repeats > 1)); then
  for b in "${best[@]}"; do
    read -r _ label _ <<<"$b"
    for ((r = 2; r <= repeats; r++)); do run_point "$label" "$scenario" "$(point_of "$b")" sandrow; done
  done
  mapfile -t best < <(rank | head -3)  # the means now
fi
if [ -n "$confirm" ] && ((${#best[@]})); then
  read -r _ label _ <<<"${best[0]}"
  run_point base "$confirm" "" sandrow
  [ "$label" = base ] || run_point "$label" "$confirm" "$(point_of "${best[0]}")" sandrow
fi

# --coarse: per grid line the two values whose points ranked best (points
# outside the rule rank after every eligible one, by their p95).
if ((coarse)); then
  {
    echo "; the full pass's grid: the two best values of each line of $grid in the"
    echo "; coarse pass of $(basename "$out") (seed $seed)"
    echo "[study]"
    awk '/^\[grid\]/ { exit } /^\[study\]/ { s = 1; next } s && NF && $0 !~ /^[ \t]*;/' "$grid"
    echo
    echo "[grid]"
    for i in "${!keys[@]}"; do
      col=$((4 + i))
      vals=$(awk -F, -v c="$col" -v nk="${#keys[@]}" -v t="$threshold" '
        NR > 1 && $c != "" && $NF == "ok" && $2 == first {
          sg = $(4 + nk); dg = $(11 + nk); p95 = $(8 + nk)
          bad = (sg + 0 < t || (dg != "" && dg + 0 < t)) ? 1 : 0
          print bad, p95, $c
        }' first="$(basename "$scenario" .ini)" "$csv" | sort -k1,1n -k2,2g | awk '!seen[$3]++ { print $3 }' | head -2 | sort -g | tr '\n' ' ')
      echo "${keys[$i]} = ${vals% }"
    done
  } >"$out/pruned-grid.ini"
fi

# The text table: the ten best (by their first run), the base, the unshaped
# run, every run of the best three, the confirm scenario's runs.
{
  echo "scripts/tune.sh $grid: seed $seed, ${#points[@]} points on $(basename "$scenario"); rule: goodput >= $threshold % in both loaded phases, then the lowest saturated second-half p95"
  echo
  header="label scenario ${keys[*]} sat_goodput sat_p95 sat_half_p95 sat_onset sat_probes drop_goodput drop_p95 drop_half_p95 drop_probes status"
  table() { # AWK-FILTER on rows
    awk -F, -v nk="${#keys[@]}" 'function d(x) { return x == "" ? "-" : x }
      '"$1"' {
      row = $3 " " $2; for (i = 4; i < 4 + nk; i++) row = row " " d($i)
      n = split("4 6 8 9 10 11 13 15 17", c, " ")
      for (i = 1; i <= n; i++) row = row " " d($(c[i] + nk))
      print row " " $NF
    }' "$csv"
  }
  echo "The ten best points (by the mean of their runs; the row is the first run):"
  {
    echo "$header"
    rank | head -10 | while read -r _ label _; do
      table "NR > 1 && \$3 == \"$label\" && \$2 == \"$(basename "$scenario" .ini)\" && !shown++"
    done
    table "NR > 1 && (\$3 == \"base\" || \$3 == \"unshaped\") && \$2 == \"$(basename "$scenario" .ini)\""
  } | column -t
  if ((${#best[@]})); then
    echo
    echo "Every run of the best three:"
    {
      echo "$header"
      for b in "${best[@]}"; do
        read -r _ label _ <<<"$b"
        table "NR > 1 && \$3 == \"$label\" && \$2 == \"$(basename "$scenario" .ini)\""
      done
    } | column -t
  fi
  if [ -n "$confirm" ]; then
    echo
    echo "On $(basename "$confirm") (the worst of its lines):"
    { echo "$header"; table "NR > 1 && \$2 == \"$(basename "$confirm" .ini)\""; } | column -t
  fi
} >"$out/results.txt"

# The plot: each run's saturated goodput against its second-half p95.
awk -F, -v nk="${#keys[@]}" -v s="$(basename "$scenario" .ini)" \
  'NR > 1 && $2 == s && $(4 + nk) != "" { print $(4 + nk), $(8 + nk), $3 }' "$csv" >"$out/plot.dat"
gnuplot <<EOF >"$out/gnuplot.log" 2>&1 || echo "scripts/tune.sh: gnuplot failed: see $out/gnuplot.log"
set terminal pngcairo size 1000,700
set output "$out/plot.png"
set title "$(basename "$scenario"): saturated phase, one point per run"
set xlabel "goodput (% of the line)"
set ylabel "added round trip, second half, p95 (ms)"
set grid
set key off
set arrow from $threshold, graph 0 to $threshold, graph 1 nohead dashtype 2
plot "$out/plot.dat" using 1:2 with points pointtype 7, \
     "" using 1:2:3 with labels offset 0,0.8 font ",8"
EOF
cat "$out/results.txt"
# Every run was made and read, or the study says which were not.
if grep -q ',failed$' "$csv"; then
  echo "scripts/tune.sh: $(grep -c ',failed$' "$csv") run(s) failed; their lab.out says why" >&2
  exit 1
fi
