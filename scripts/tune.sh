#!/usr/bin/env bash
# A tuning study of sandrow's registry values on the router lab:
#   scripts/tune.sh [GRID-FILE] [--coarse] [--seed N] [--out DIR] [--host]
#   scripts/tune.sh --resume DIR [--host]
# GRID-FILE (default lab/tuning/grid.ini) names the scenario and the values
# to try. Every point runs the scenario `runs` times (once by default) with
# sandrow alone, each run in a VM boot of its own (scripts/lab.sh --kernel
# --vm; --host: on this machine's kernel, in namespaces of its own), in an
# order shuffled by a seed that is printed (--seed gives it); the best three
# points run again until each has run `repeats` times, and the best point
# and the scenario's own values run on the `confirm` scenario. --coarse runs
# each value of each grid line alone instead and writes pruned-grid.ini: the
# two best values of every line, a start for the full pass's grid. The run directory (default
# run/tune-DATE, inside the repository, which is all the VM can write)
# holds one folder per run and:
#   results.csv   one row per run: the values, then per loaded phase its
#                 goodput, added median and p95 (whole phase and second
#                 half), onset and probes sent
#   results.txt   the ten best points by the grid's rule (the means of
#                 their runs), the scenario's own values and the unshaped
#                 run for comparison, every run of the best three, the
#                 confirm scenario's rows, where the limit sat in the best
#                 three's runs
#   plot.png      goodput against second-half p95, per run and loaded phase
# A study takes hours: --resume DIR goes on with the study in DIR (its grid,
# seed and pass as they were given), keeps every run that finished and
# makes again those that failed or never ran.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

grid="" coarse=0 seed="" out="" where=(--vm) resume=0
while (($#)); do
  case "$1" in
    --coarse) coarse=1 ;;
    --resume)
      out=${2:?--resume needs the directory of the study}
      resume=1
      shift
      ;;
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
      echo "       scripts/tune.sh --resume DIR [--host]" >&2
      exit 2
      ;;
    *) grid=$1 ;;
  esac
  shift
done
if ((resume)); then
  # The study as it was started: its copy of the grid, its seed and pass.
  if [ ! -r "$out/study" ] || [ ! -r "$out/grid.ini" ]; then
    echo "scripts/tune.sh: $out holds no study to resume" >&2
    exit 2
  fi
  if [ -n "$grid$seed" ] || ((coarse)); then
    echo "scripts/tune.sh: --resume takes the grid, seed and pass of the study" >&2
    exit 2
  fi
  read -r seed coarse grid <"$out/study"
  out=$(realpath "$out")
else
  grid=${grid:-lab/tuning/grid.ini}
  [ -r "$grid" ] || {
    echo "scripts/tune.sh: cannot read the grid $grid" >&2
    exit 2
  }
  seed=${seed:-$((RANDOM * 32768 + RANDOM))}
  out=$(realpath -m "${out:-run/tune-$(date +%Y%m%d-%H%M%S)}")
  mkdir -p "$out"
  cp "$grid" "$out/grid.ini"
  echo "$seed $coarse $grid" >"$out/study"
fi
grid_name=$grid
grid=$out/grid.ini

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
runs=$(ini "$grid" study runs)
runs=${runs:-1}
unshaped=$(ini "$grid" study unshaped)
base=$(ini "$grid" study base)
threshold=$(ini "$grid" study goodput)
threshold=${threshold:-90}
[ -r "$scenario" ] || {
  echo "scripts/tune.sh: $grid_name: cannot read the scenario '$scenario'" >&2
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
  echo "scripts/tune.sh: $grid_name has no [grid] line" >&2
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
# Each point's runs as "NTH LABEL KEY=V ...", the labels in the grid's
# order, the runs shuffled.
mapfile -t order < <(for i in "${!points[@]}"; do
  for ((r = 1; r <= runs; r++)); do echo "$r p$((i + 1)) ${points[$i]}"; done
done | awk -v seed="$seed" 'BEGIN { srand(seed) } { printf "%.12f\t%s\n", rand(), $0 }' |
  sort -k1,1g | cut -f2-)
echo "scripts/tune.sh: ${#points[@]} points of $grid_name, $runs run(s) each, on $scenario, in the order of seed $seed; run directory $out"

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
if ((resume)) && [ -r "$csv" ]; then
  # The failed runs are made again; their folders stay for their lab.out.
  grep -v ',failed$' "$csv" >"$csv.new"
  mv "$csv.new" "$csv"
else
  {
    printf 'run,scenario,point'
    for k in "${keys[@]}"; do printf ',%s' "$k"; done
    for ph in sat drop; do
      printf ',%s_goodput_pct,%s_median_ms,%s_p95_ms,%s_half_median_ms,%s_half_p95_ms,%s_onset_s,%s_probes' \
        "$ph" "$ph" "$ph" "$ph" "$ph" "$ph" "$ph"
    done
    printf ',status\n'
  } >"$csv"
fi
count=$(find "$out" -mindepth 1 -maxdepth 1 -type d -name '[0-9][0-9][0-9]-*' | wc -l)
run_point() { # LABEL SCENARIO POINT RUNS [NTH]: the NTH run of LABEL there
  local made
  made=$(awk -F, -v l="$1" -v s="$(basename "$2" .ini)" \
    'NR > 1 && $3 == l && $2 == s && $NF == "ok"' "$csv" | wc -l)
  if ((made >= ${5:-1})); then
    echo "run $1 on $(basename "$2"): made before"
    return
  fi
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
for o in "${order[@]}"; do
  read -r nth label point <<<"$o"
  run_point "$label" "$scenario" "$point" sandrow "$nth"
done

# Each point's mean over its runs on SCENARIO-NAME, as rows of results.csv
# whose first field is the number of runs.
means() {
  awk -F, -v OFS=, -v s="$1" -v nk="${#keys[@]}" '
    NR > 1 && $2 == s && $NF == "ok" {
      l = $3
      if (!(l in n)) { order[++k] = l; first[l] = $0 }
      n[l]++
      for (i = 4 + nk; i < NF; i++) if ($i != "") { sum[l, i] += $i; got[l, i]++ }
    }
    END {
      for (j = 1; j <= k; j++) {
        l = order[j]; nf = split(first[l], f, ",")
        f[1] = n[l]
        for (i = 4 + nk; i < nf; i++) f[i] = got[l, i] ? sprintf("%.1f", sum[l, i] / got[l, i]) : ""
        row = f[1]; for (i = 2; i <= nf; i++) row = row OFS f[i]
        print row
      }
    }' "$csv"
}
# The rule, on the means of the points on the scenario: eligible when both
# loaded phases reach the goodput (a scenario without a capacity drop counts
# its saturated phase), best by the higher second-half p95 of the two: a
# point that keeps the saturated line quick but misses the drop leaves the
# router as slow as no shaping for as long as the drop lasts. Prints
# "p95 label values..." of the eligible points, best first; a value the
# point leaves as the scenario has it is "-". `ranked` goes on after them
# with the others, nearest to the goodput first, so that the best three
# exist whatever the study found.
ranked() {
  means "$(basename "$scenario" .ini)" | awk -F, -v t="$threshold" -v nk="${#keys[@]}" '
    $3 != "unshaped" && $(4 + nk) != "" {
      v = ""; for (i = 4; i < 4 + nk; i++) v = v " " ($i == "" ? "-" : $i)
      p95 = $(8 + nk); if ($(15 + nk) != "" && $(15 + nk) + 0 > p95 + 0) p95 = $(15 + nk)
      low = $(4 + nk); if ($(11 + nk) != "" && $(11 + nk) + 0 < low + 0) low = $(11 + nk)
      if (low + 0 >= t) print 0, p95, $3 v; else print 1, -(low + 1), $3 v
    }' | sort -k1,1n -k2,2g | cut -d" " -f2-
}
rank() { ranked | awk '$1 >= 0'; }
# "KEY=V ..." of a rank line's values.
point_of() {
  local f point=""
  read -r -a f <<<"$1"
  for i in "${!keys[@]}"; do
    [ "${f[$((i + 2))]}" = - ] || point+="${point:+ }${keys[$i]}=${f[$((i + 2))]}"
  done
  echo "$point"
}
# The best three run again until each has run `repeats` times; their means
# may change the three, so the ranking is taken again until it holds (at
# most once per point).
mapfile -t best < <(ranked | head -3)
if ((coarse == 0 && repeats > 1)); then
  for ((round = 0; round <= ${#points[@]}; round++)); do
    before=$count
    for b in "${best[@]}"; do
      read -r _ label _ <<<"$b"
      for ((r = 2; r <= repeats; r++)); do run_point "$label" "$scenario" "$(point_of "$b")" sandrow "$r"; done
    done
    mapfile -t best < <(ranked | head -3)
    ((count > before)) || break
  done
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
    echo "; the full pass's grid: the two best values of each line of $grid_name in the"
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
          if ($(15 + nk) != "" && $(15 + nk) + 0 > p95 + 0) p95 = $(15 + nk)
          bad = (sg + 0 < t || (dg != "" && dg + 0 < t)) ? 1 : 0
          print bad, p95, $c
        }' first="$(basename "$scenario" .ini)" "$csv" | sort -k1,1n -k2,2g | awk '!seen[$3]++ { print $3 }' | head -2 | sort -g | tr '\n' ' ')
      echo "${keys[$i]} = ${vals% }"
    done
  } >"$out/pruned-grid.ini"
fi

# Per loaded phase of run N (LABEL): the share of its seconds in which the
# limit was above the line's capacity, the median of limit / capacity and
# the probes a minute, from the run's state.csv (one line only).
phase_starts=$(awk '/^[ \t]*\[phase /{ name = $0; sub(/^[ \t]*\[phase /, "", name); sub(/\][ \t]*$/, "", name) }
  name != "" && /^[ \t]*start[ \t]*=/ { v = $0; sub(/^[^=]*=[ \t]*/, "", v); print v "\t" name; name = "" }' "$scenario")
duration=$(ini "$scenario" run duration)
limit_sat() { # N LABEL
  local state
  state="$out/$(printf '%03d' "$1")-$2/lab/state.csv"
  [ -r "$state" ] || return 0
  awk -F, -v run="$1" -v label="$2" -v starts="$phase_starts" -v duration="$duration" '
    BEGIN {
      n = split(starts, rows, "\n")
      for (i = 1; i <= n; i++) { split(rows[i], f, "\t"); from[i] = f[1]; name[i] = f[2] }
      from[n + 1] = duration
    }
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    {
      t = $1
      for (i = 1; i <= n; i++) if (t > from[i] && t <= from[i + 1]) p = i
      if (name[p] != "saturated" && name[p] != "capacity drop") next
      secs[p]++
      limit = $(col["sandrow_limit_mbps"]); capacity = $(col["capacity_mbps"])
      if (limit + 0 > capacity + 0) over[p]++
      ratio[p, secs[p]] = limit / capacity
      probes[p] += $(col["sandrow_probes"])
    }
    END {
      for (i = 1; i <= n; i++) {
        if (!secs[i]) continue
        m = secs[i]
        for (a = 1; a <= m; a++) for (b = a + 1; b <= m; b++) if (ratio[i, b] < ratio[i, a]) { x = ratio[i, a]; ratio[i, a] = ratio[i, b]; ratio[i, b] = x }
        median = m % 2 ? ratio[i, (m + 1) / 2] : (ratio[i, m / 2] + ratio[i, m / 2 + 1]) / 2
        gsub(/ /, "_", name[i])
        printf "%s %s %s %d/%d %.2f %.1f\n", run, label, name[i], over[i], m, median, probes[i] * 60 / m
      }
    }' "$state"
}

# The text table: the ten best (the means of their runs) beside the base
# and the unshaped run, every run of the best three, the confirm scenario's
# runs.
{
  name=$(basename "$scenario" .ini)
  echo "scripts/tune.sh $grid_name: seed $seed, ${#points[@]} points on $(basename "$scenario"); rule: goodput >= $threshold % in both loaded phases, then the lowest second-half p95 of the slower one"
  echo
  figures="sat_goodput sat_p95 sat_half_p95 sat_onset sat_probes drop_goodput drop_p95 drop_half_p95 drop_probes"
  table() { # FIRST-COLUMN AWK-FILTER, on rows of results.csv from the input
    echo "$1 label scenario ${keys[*]} $figures status"
    awk -F, -v nk="${#keys[@]}" 'function d(x) { return x == "" ? "-" : x }
      '"$2"' {
      row = $1 " " $3 " " $2; for (i = 4; i < 4 + nk; i++) row = row " " d($i)
      n = split("4 6 8 9 10 11 13 15 17", c, " ")
      for (i = 1; i <= n; i++) row = row " " d($(c[i] + nk))
      print row " " $NF
    }'
  }
  echo "The ten best points by the rule, the mean of their runs:"
  [ -n "$(rank)" ] || echo "(no point reached $threshold % goodput in both loaded phases)"
  {
    mapfile -t ten < <(rank | head -10 | awk '{ print $2 }')
    printf '%s\n' "${ten[@]}" | grep -qx base || ten+=(base)
    table runs 0 </dev/null
    for label in "${ten[@]}" unshaped; do
      means "$name" | table runs "\$3 == \"$label\"" | tail -n +2
    done
  } | column -t
  if ((${#best[@]})); then
    echo
    echo "Every run of the best three:"
    {
      table run 0 </dev/null
      for b in "${best[@]}"; do
        read -r _ label _ <<<"$b"
        tail -n +2 "$csv" | table run "\$3 == \"$label\" && \$2 == \"$name\"" | tail -n +2
      done
    } | column -t
  fi
  if [ -n "$confirm" ]; then
    echo
    echo "On $(basename "$confirm") (the worst of its lines):"
    tail -n +2 "$csv" | table run "\$2 == \"$(basename "$confirm" .ini)\"" | column -t
  fi
  echo
  echo "Where the limit sat: per run and loaded phase, the seconds with the limit above the line and the median limit over the line:"
  {
    echo "run label phase over_line median_limit/line probes/min"
    for b in "${best[@]}" "- base"; do
      read -r _ label _ <<<"$b"
      awk -F, -v l="$label" -v s="$name" 'NR > 1 && $3 == l && $2 == s && $NF == "ok" { print $1 }' "$csv" |
        while read -r n; do limit_sat "$n" "$label"; done
    done
  } | column -t
} >"$out/results.txt"

# The plot: each run's goodput against its second-half p95, one mark per
# loaded phase.
awk -F, -v nk="${#keys[@]}" -v s="$(basename "$scenario" .ini)" '
  function d(x) { return x == "" ? "NaN" : x }
  NR > 1 && $2 == s && $(4 + nk) != "" {
    print $3, $(4 + nk), $(8 + nk), d($(11 + nk)), d($(15 + nk))
  }' "$csv" >"$out/plot.dat"
gnuplot <<EOF >"$out/gnuplot.log" 2>&1 || echo "scripts/tune.sh: gnuplot failed: see $out/gnuplot.log"
set terminal pngcairo size 1000,700
set output "$out/plot.png"
set title "$(basename "$scenario"): one mark per run and loaded phase"
set xlabel "goodput (% of the line)"
set ylabel "added round trip, second half of the phase, p95 (ms)"
set logscale y
set grid
set key top left
set arrow from $threshold, graph 0 to $threshold, graph 1 nohead dashtype 2
plot "$out/plot.dat" using 2:3 with points pointtype 7 title "saturated", \
     "" using 4:5 with points pointtype 9 title "capacity drop", \
     "" using 2:3:1 with labels offset 0,0.8 font ",7" notitle, \
     "" using 4:5:1 with labels offset 0,0.8 font ",7" notitle
EOF
cat "$out/results.txt"
# Every run was made and read, or the study says which were not.
if grep -q ',failed$' "$csv"; then
  echo "scripts/tune.sh: $(grep -c ',failed$' "$csv") run(s) failed; their lab.out says why" >&2
  exit 1
fi
