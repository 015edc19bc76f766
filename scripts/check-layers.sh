#!/usr/bin/env bash
# Checks the monitor's module layers: a module may include headers of modules
# in lower layers only, and only the platform layer includes the system's
# headers for sockets, netlink, terminals, the service manager and the bus.
# Usage: scripts/check-layers.sh [SRC_DIR]   (default: src/ of this tree)
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

# Layer of each module; keep in step with src/CMakeLists.txt.
declare -A layer=(
  [platform]=0
  [log]=1 [process]=1 [slots]=1
  [config]=2 [speedtest]=2
  [shaper]=3 [report]=3
  [probe]=4
  [aperture]=5
  [core]=6
)
system_headers='^#include <(sys/socket\.h|netinet/|arpa/|netdb\.h|linux/|libmnl/|termios\.h|sys/ioctl\.h|systemd/|sdbus-c\+\+/|dbus/)'

status=0
for dir in "$src"/*/; do
  module=$(basename "$dir")
  if [ -z "${layer[$module]+set}" ]; then
    echo "check-layers: src/$module has no layer (add it to ${BASH_SOURCE[0]##*/})"
    status=1
    continue
  fi
  for file in "$dir"*.h "$dir"*.cpp; do
    [ -e "$file" ] || continue
    while IFS= read -r line; do
      used=${line#\#include \"}
      used=${used%%/*}
      [ "$used" = "$module" ] && continue
      if [ -z "${layer[$used]+set}" ]; then
        echo "check-layers: ${file#"$src"/} includes \"$used/...\", which is no module"
        status=1
      elif ((layer[$used] >= layer[$module])); then
        echo "check-layers: ${file#"$src"/} (layer ${layer[$module]}) includes $used (layer ${layer[$used]})"
        status=1
      fi
    done < <(grep -E '^#include "[a-z_]+/' "$file" || true)
    if [ "$module" != platform ] && grep -qE "$system_headers" "$file"; then
      echo "check-layers: ${file#"$src"/} includes a system header that only platform/ may use:"
      grep -nE "$system_headers" "$file" | sed 's/^/  /'
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "check-layers: every include points down"
exit $status
