#!/usr/bin/env bash
# The layer check must fail on each kind of fault, not only pass on the tree:
# an include of a higher layer, of the same layer, of no module, a socket
# header or the netlink layer outside platform/, a module without a layer,
# the netlink layer building on ours, and the service including the lab.
set -euo pipefail
check="$(dirname "$0")/../scripts/check-layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

faults=(
  'src/log/a.cpp|#include "core/monitor.h"|includes core'
  'src/report/a.cpp|#include "shaper/limits.h"|includes shaper'
  'src/probe/a.cpp|#include "nowhere/x.h"|which is no module'
  'src/shaper/a.cpp|#include <sys/socket.h>|system header'
  'src/shaper/a.cpp|#include "netlink/netlink.h"|only platform/ may use'
  'src/gadgets/a.cpp|#include "log/logger.h"|has no layer'
  'netlink/a.cpp|#include "platform/eintr.h"|builds on nothing of ours'
  'service/kernel/a.cpp|#include "lab/scenario.h"|carries none of it'
)
for fault in "${faults[@]}"; do
  IFS='|' read -r file line expected <<<"$fault"
  rm -rf "${work:?}"/*
  mkdir -p "$work/$(dirname "$file")" "$work/src/platform" "$work/src/core" "$work/netlink" \
    "$work/service"
  echo '#include <sys/socket.h>' >"$work/src/platform/ok.cpp"     # allowed there
  echo '#include "netlink/netlink.h"' >>"$work/src/platform/ok.cpp"
  echo '#include "log/logger.h"' >"$work/src/core/ok.cpp"         # downwards
  echo '#include "netlink/links.h"' >"$work/netlink/ok.cpp"       # within itself
  echo '#include "netlink/tc.h"' >"$work/service/ok.cpp"          # the service on it
  echo "$line" >"$work/$file"
  if out=$("$check" "$work" 2>&1); then
    echo "FAIL: '$line' in $file passed the check"
    exit 1
  fi
  grep -q -- "$expected" <<<"$out" || { echo "FAIL: '$line': no '$expected' in: $out"; exit 1; }
  if grep -q "ok.cpp" <<<"$out"; then echo "FAIL: a permitted include was reported: $out"; exit 1; fi
done
echo "every fault was caught"
