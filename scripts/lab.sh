#!/usr/bin/env bash
# Builds sandrow, corvane-service and sandrow-lab, then runs the lab (default:
# the two-minute lab/scenarios/default.ini; with --kernel the kernel lab of
# lab/scenarios/kernel.ini) in private network namespaces, which need root:
# when not root it builds as the caller and re-runs itself with sudo. Further
# arguments go to sandrow-lab: [--kernel] [SCENARIO] [--out DIR] [--sandrow PATH].
#
# --kernel --vm runs the kernel lab inside Debian's stock kernel
# (scripts/vm.sh; default scenario lab/scenarios/router.ini). The run happens
# on the guest's tmpfs (a bus socket cannot live on the shared folder) and is
# copied out at the end into --out DIR, which must lie inside the
# repository (default run/vm-lab-DATE).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
self="$root/scripts/lab.sh"

# build.sh installs what is missing first (gnuplot-nox draws plot.png).
if [ "${SANDROW_LAB_BUILT:-}" != 1 ]; then
  "$root/scripts/build.sh" --target sandrow corvane-service sandrow-directory sandrow-lab >/dev/null
fi
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "scripts/lab.sh: the lab needs root (a private network namespace) and sudo is missing" >&2
    exit 3
  fi
  exec sudo -- env SANDROW_LAB_BUILT=1 "$self" "$@"
fi

kernel=0 vm=0 out="" scenario="" rest=()
while (($#)); do
  case "$1" in
    --kernel) kernel=1 ;;
    --vm) vm=1 ;;
    --out)
      out=${2:?--out needs a directory}
      shift
      ;;
    --*) rest+=("$1") ;;
    *) scenario=$1 ;;
  esac
  shift
done
if ((vm == 0)); then
  args=()
  ((kernel)) && args+=(--kernel)
  [ -n "$scenario" ] && args+=("$scenario")
  [ -n "$out" ] && args+=(--out "$out")
  exec "$root/build/lab/sandrow-lab" "${args[@]}" "${rest[@]}"
fi
if ((kernel == 0)); then
  echo "scripts/lab.sh: --vm runs the kernel lab: add --kernel" >&2
  exit 2
fi

scenario=$(realpath "${scenario:-$root/lab/scenarios/router.ini}")
out=$(realpath -m "${out:-$root/run/vm-lab-$(date +%Y%m%d-%H%M%S)}")
case "$out/" in
  "$root"/*) ;;
  *)
    echo "scripts/lab.sh: --out $out is outside the repository, which is all the VM can write" >&2
    exit 2
    ;;
esac
mkdir -p "$out"
# The lab's own exit status survives the copy.
guest=$(printf 'status=0; %q --kernel %q --out /tmp/lab' "$root/build/lab/sandrow-lab" "$scenario")
((${#rest[@]})) && guest+=$(printf ' %q' "${rest[@]}")
guest+=$(printf ' || status=$?; cp -a /tmp/lab/. %q/ && echo "scripts/lab.sh: run directory %q"; exit $status' "$out" "$out")
exec "$root/scripts/vm.sh" bash -c "$guest"
