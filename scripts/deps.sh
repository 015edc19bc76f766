#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing,
# and those named as arguments (what one script needs beyond the build).
set -euo pipefail

packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang-format
  libsdbus-c++-dev libsystemd-dev dbus-daemon dbus-bin libinih-dev libmnl-dev iproute2 gnuplot-nox
  "$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
