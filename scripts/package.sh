#!/usr/bin/env bash
# Builds the Debian package: a Release tree in build-package/ (tests off,
# prefix /usr), then CPack's .deb in that directory. The .deb's path is the
# last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."

# CPack's dependency lookup runs dpkg-shlibdeps (dpkg-dev) and file.
scripts/deps.sh dpkg-dev file

dir=build-package
# CPack installs without building everything first: the package holds the
# programs and their documents, not the lab.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSANDROW_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target sandrow corvane-service sandrow-directory sandrow-docs
rm -f "$dir"/*.deb
if ! (cd "$dir" && cpack -G DEB) >"$dir/cpack.log" 2>&1; then
  cat "$dir/cpack.log" >&2
  exit 1
fi
debs=("$dir"/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one .deb in $dir, found: ${debs[*]}" >&2
  exit 1
fi
realpath "${debs[0]}"
