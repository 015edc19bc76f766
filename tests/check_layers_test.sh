#!/usr/bin/env bash
# The layer check must fail on each kind of fault, not only pass on src/:
# an include of a higher layer, of the same layer, of no module, a socket
# header outside platform/, and a module without a layer.
set -euo pipefail
check="$(dirname "$0")/../scripts/check-layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

faults=(
  'log/a.cpp|#include "core/monitor.h"|includes core'
  'report/a.cpp|#include "shaper/limits.h"|includes shaper'
  'probe/a.cpp|#include "nowhere/x.h"|which is no module'
  'shaper/a.cpp|#include <sys/socket.h>|system header'
  'gadgets/a.cpp|#include "log/logger.h"|has no layer'
)
for fault in "${faults[@]}"; do
  IFS='|' read -r file line expected <<<"$fault"
  rm -rf "$work/src"
  mkdir -p "$work/src/$(dirname "$file")" "$work/src/platform" "$work/src/core"
  echo '#include <sys/socket.h>' >"$work/src/platform/ok.cpp"   # allowed there
  echo '#include "log/logger.h"' >"$work/src/core/ok.cpp"       # downwards
  echo "$line" >"$work/src/$file"
  if out=$("$check" "$work/src" 2>&1); then
    echo "FAIL: '$line' in $file passed the check"
    exit 1
  fi
  grep -q -- "$expected" <<<"$out" || { echo "FAIL: '$line': no '$expected' in: $out"; exit 1; }
  if grep -q "ok.cpp" <<<"$out"; then echo "FAIL: a permitted include was reported: $out"; exit 1; fi
done
echo "every fault was caught"
