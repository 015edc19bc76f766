#!/usr/bin/env bash
# Builds sandrow and runs it in a scratch directory with the example registry
# hive. Stop it with any key or Ctrl-C; the log files stay in that directory.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh --target sandrow >/dev/null
scratch=$(mktemp -d /tmp/sandrow-run-XXXXXX)
cp examples/registry.reg "$scratch/"
echo "sandrow runs in $scratch (press a key or Ctrl-C to stop)"
cd "$scratch"
status=0
SANDROW_REGISTRY="$scratch/registry.reg" "$OLDPWD/build/src/core/sandrow" || status=$?
echo "sandrow exited with $status; logs in $scratch"
exit "$status"
