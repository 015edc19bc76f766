#!/usr/bin/env bash
# Builds sandrow and sandrow-lab, then runs the lab (default: the two-minute
# lab/scenarios/default.ini) in a private network namespace, which needs root:
# when not root it builds as the caller and re-runs itself with sudo. Further
# arguments go to sandrow-lab: [SCENARIO] [--out DIR] [--sandrow PATH].
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
self="$root/scripts/lab.sh"

# build.sh installs what is missing first (gnuplot-nox draws plot.png).
if [ "${SANDROW_LAB_BUILT:-}" != 1 ]; then
  "$root/scripts/build.sh" --target sandrow sandrow-lab >/dev/null
fi
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "scripts/lab.sh: the lab needs root (a private network namespace) and sudo is missing" >&2
    exit 3
  fi
  exec sudo -- env SANDROW_LAB_BUILT=1 "$self" "$@"
fi
exec "$root/build/lab/sandrow-lab" "$@"
