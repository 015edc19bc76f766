#!/usr/bin/env bash
# Builds sandrow, corvane-service and sandrow-lab, then runs the lab (default:
# the two-minute lab/scenarios/default.ini; with --kernel the kernel lab of
# lab/scenarios/kernel.ini) in private network namespaces, which need root:
# when not root it builds as the caller and re-runs itself with sudo. Further
# arguments go to sandrow-lab: [--kernel] [SCENARIO] [--out DIR] [--sandrow PATH].
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
self="$root/scripts/lab.sh"

# build.sh installs what is missing first (gnuplot-nox draws plot.png).
if [ "${SANDROW_LAB_BUILT:-}" != 1 ]; then
  "$root/scripts/build.sh" --target sandrow corvane-service sandrow-lab >/dev/null
fi
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "scripts/lab.sh: the lab needs root (a private network namespace) and sudo is missing" >&2
    exit 3
  fi
  exec sudo -- env SANDROW_LAB_BUILT=1 "$self" "$@"
fi
exec "$root/build/lab/sandrow-lab" "$@"
