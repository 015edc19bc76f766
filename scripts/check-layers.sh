#!/usr/bin/env bash
# Checks the layers of the tree. At the bottom, netlink/ builds on nothing of
# ours. Above it the monitor's modules in src/: a module may include headers
# of modules in lower layers only, and only the platform layer includes the
# netlink layer or the system's headers for sockets, netlink, terminals, the
# service manager and the bus. The shipped service (service/) includes
# nothing of the lab's.
# Usage: scripts/check-layers.sh [ROOT]   (default: this tree)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
src=$root/src

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

# The "dir/..." includes of a file, one directory name a line.
included() {
  grep -E '^#include "[a-z_]+/' "$1" | sed -E 's|^#include "([a-z_]+)/.*|\1|' || true
}

for dir in "$src"/*/; do
  module=$(basename "$dir")
  if [ -z "${layer[$module]+set}" ]; then
    echo "check-layers: src/$module has no layer (add it to ${BASH_SOURCE[0]##*/})"
    status=1
    continue
  fi
  for file in "$dir"*.h "$dir"*.cpp; do
    [ -e "$file" ] || continue
    while IFS= read -r used; do
      [ -z "$used" ] || [ "$used" = "$module" ] && continue
      if [ "$used" = netlink ]; then
        if [ "$module" != platform ]; then
          echo "check-layers: src/${file#"$src"/} includes the netlink layer, which only platform/ may use"
          status=1
        fi
      elif [ -z "${layer[$used]+set}" ]; then
        echo "check-layers: src/${file#"$src"/} includes \"$used/...\", which is no module"
        status=1
      elif ((layer[$used] >= layer[$module])); then
        echo "check-layers: src/${file#"$src"/} (layer ${layer[$module]}) includes $used (layer ${layer[$used]})"
        status=1
      fi
    done < <(included "$file")
    if [ "$module" != platform ] && grep -qE "$system_headers" "$file"; then
      echo "check-layers: src/${file#"$src"/} includes a system header that only platform/ may use:"
      grep -nE "$system_headers" "$file" | sed 's/^/  /'
      status=1
    fi
  done
done

for file in "$root"/netlink/*.h "$root"/netlink/*.cpp; do
  [ -e "$file" ] || continue
  while IFS= read -r used; do
    [ -z "$used" ] || [ "$used" = netlink ] && continue
    echo "check-layers: netlink/${file##*/} includes $used: the netlink layer builds on nothing of ours"
    status=1
  done < <(included "$file")
done

while IFS= read -r file; do
  if included "$file" | grep -qx lab; then
    echo "check-layers: ${file#"$root"/} includes the lab: the shipped service carries none of it"
    status=1
  fi
done < <(find "$root/service" -name '*.h' -o -name '*.cpp' 2>/dev/null)

[ $status -eq 0 ] && echo "check-layers: every include points down"
exit $status
