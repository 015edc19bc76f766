#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it: its file list
# against packaging/expected-files.txt, its control fields and conffiles, the
# man pages, the units with systemd-analyze verify, and an install, upgrade
# (the same version rebuilt), remove and purge with dpkg in a throwaway
# Debian 12 tree. Needs root (chroot). The tree is made once with mmdebstrap
# and cached under build-package/chroot/; every run works on a copy of it.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package.sh: needs root (dpkg in a chroot)" >&2
  exit 1
fi

started=$SECONDS
failures=0
checks=0
pass() {
  checks=$((checks + 1))
  echo "ok: $*"
}
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "FAIL: $*"
}
# check DESCRIPTION COMMAND...: one check, by the command's exit status.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# What this check needs beyond the build: the tree maker, systemd-analyze, man.
need=()
command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
command -v systemd-analyze >/dev/null || need+=(systemd)
command -v man >/dev/null || need+=(man-db)
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

build="build-package"
deb=$(scripts/package.sh | tail -n 1)
echo "package: $deb"

work=$(mktemp -d /tmp/sandrow-check-XXXXXX)
root=$work/root
finished=no
cleanup() {
  # Nothing is mounted in the tree, so removing it touches only the copy.
  rm -rf --one-file-system "$work"
  if [ "$finished" = no ]; then
    echo "check-package.sh: stopped by an error after $checks checks ($failures failed)" >&2
  fi
}
trap cleanup EXIT

# --- the package file ---------------------------------------------------------

# Mode, owner and path of every entry; sizes and dates may change.
listing() {
  dpkg-deb -c "$1" | awk '{print $1, $2, $6}' | LC_ALL=C sort
}
if diff -u <(LC_ALL=C sort packaging/expected-files.txt) <(listing "$deb") >"$work/files.diff"; then
  pass "file list equals packaging/expected-files.txt"
else
  fail "file list differs from packaging/expected-files.txt (- expected, + package):"
  sed -n '3,$p' "$work/files.diff"
  echo "(a file meant to be added or dropped: dpkg-deb -c $deb | awk '{print \$1, \$2, \$6}' | LC_ALL=C sort >packaging/expected-files.txt)"
fi

field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^project(sandrow VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
check "Package: sandrow" test "$(field Package)" = sandrow
check "Version: $version (the project's)" test "$(field Version)" = "$version"
check "Architecture: $(dpkg --print-architecture)" test "$(field Architecture)" = "$(dpkg --print-architecture)"
check "Section: net" test "$(field Section)" = net
check "Maintainer: $(field Maintainer)" grep -Eq '^[^<]+ <[^>]+@[^>]+>$' <<<"$(field Maintainer)"
check "Description: a summary and a longer text" test "$(field Description | wc -l)" -ge 3
depends=$(field Depends)
# The names alone, one a line: "libc6 (>= 2.34), dbus | x" gives libc6, dbus.
depend_names=$(tr ',' '\n' <<<"$depends" | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | sed '/^$/d')
for name in libc6 libstdc++6 libsdbus-c++1 libsystemd0 libmnl0 libinih1 dbus adduser; do
  check "Depends names $name" grep -qx -- "$name" <<<"$depend_names"
done

# The conffiles are exactly the files under /etc.
conffiles=$(dpkg-deb -I "$deb" conffiles | LC_ALL=C sort)
etc_files=$(listing "$deb" | awk '$1 ~ /^-/ && $3 ~ /^\.\/etc\// {print substr($3, 2)}')
check "conffiles are the files under /etc: $(tr '\n' ' ' <<<"$conffiles")" test "$conffiles" = "$etc_files"

dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  check "$script: executable, POSIX sh syntax" sh -n "$work/control/$script"
  test -x "$work/control/$script" || fail "$script is not executable"
done

# The man pages as lintian reads them: no warnings from the formatter.
dpkg-deb -x "$deb" "$work/files"
for page in "$work"/files/usr/share/man/man8/*.8.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)
  if [ -z "$warnings" ]; then pass "man page ${page##*/} formats cleanly"; else
    fail "man page ${page##*/}:"
    echo "$warnings"
  fi
done

# --- the throwaway tree -------------------------------------------------------

# Debian 12 with systemd (not running: nothing is started in the tree) and the
# package's dependencies, so that dpkg alone installs it and the tree's file
# list can be taken right before. Keyed by those dependencies.
deps="systemd $(tr '\n' ' ' <<<"$depend_names")"
deps=${deps% }
key=$(printf '%s\n' "bookworm apt $deps" | sha1sum | cut -c1-12)
cache=$repo/$build/chroot/bookworm-$key
if [ ! -d "$cache" ]; then
  echo "making the Debian 12 tree (mmdebstrap, once): $cache"
  rm -rf "$repo/$build/chroot"
  mkdir -p "$repo/$build/chroot"
  t0=$SECONDS
  # Once more after a failure: the mirror may have been busy.
  if ! mmdebstrap --quiet --variant=apt --include="${deps// /,}" bookworm "$cache.new"; then
    echo "mmdebstrap failed; once more"
    rm -rf "$cache.new"
    mmdebstrap --quiet --variant=apt --include="${deps// /,}" bookworm "$cache.new"
  fi
  mv "$cache.new" "$cache"
  echo "tree made in $((SECONDS - t0)) s"
fi
cp -a "$cache" "$root"

# In the tree, in a network namespace of its own: nothing a maintainer script
# does can reach this machine's network devices.
in_root() { unshare --net --uts --ipc chroot "$root" "$@"; }

# The tree's file list, less what package management and logging keep for
# themselves (dpkg's and apt's databases, caches, logs) and the file systems
# that are never in it (/proc, /sys, /dev, /run, /tmp).
snapshot() {
  (cd "$root" && find . -xdev \
    \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp -o -path ./var/tmp \
    -o -path ./var/log -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg \) -prune \
    -o -printf '%y %m %u:%g %p\n' | LC_ALL=C sort)
}
snapshot >"$work/before.txt"

installed=/tmp/sandrow.deb
cp "$deb" "$root$installed"
user_exists() { in_root getent passwd "$1" >/dev/null; }
group_exists() { in_root getent group "$1" >/dev/null; }
wants=/etc/systemd/system/multi-user.target.wants

# dpkg STEP ARGS...: one dpkg run in the tree; its output is shown on failure.
dpkg_step() {
  local step=$1
  shift
  if in_root dpkg "$@" </dev/null >"$work/$step.log" 2>&1; then
    pass "$step: dpkg $*"
  else
    fail "$step: dpkg $*:"
    cat "$work/$step.log"
    return 1
  fi
}

cycle() {
  dpkg_step install -i "$installed" || return 0
  for user in corvane sandrow; do
    check "install: system user $user" user_exists "$user"
    check "install: $user has no home, no shell" \
      test "$(in_root getent passwd "$user" | cut -d: -f6,7)" = /nonexistent:/usr/sbin/nologin
    check "install: group $user" group_exists "$user"
  done
  for unit in corvane-service.service sandrow.service; do
    check "install: $unit enabled ($wants)" test -L "$root$wants/$unit"
  done
  check "install: sandrow-directory.socket enabled" \
    test -L "$root/etc/systemd/system/sockets.target.wants/sandrow-directory.socket"
  check "install: the postinst says the directory has no probe target yet" \
    grep -q 'no probe target yet' "$work/install.log"
  check "install: no start attempted without systemd" \
    sh -c "! grep -q 'did not start' '$work/install.log'"
  check "install: /var/lib/prometheus/node-exporter made for corvane" \
    test "$(in_root stat -c %U:%G /var/lib/prometheus/node-exporter)" = corvane:corvane
  for program in sandrow corvane-service sandrow-directory; do
    check "install: $program finds all its libraries" \
      sh -c "! unshare --net chroot '$root' ldd /usr/bin/$program | grep -q 'not found'"
  done
  for program in corvane-service sandrow-directory; do
    check "install: $program --help runs in the tree" \
      sh -c "unshare --net chroot '$root' /usr/bin/$program --help >/dev/null"
  done

  # The units as installed, with the tree's own systemd units around them.
  if MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    /usr/lib/systemd/system/corvane-service.service /usr/lib/systemd/system/sandrow.service \
    /usr/lib/systemd/system/sandrow-directory.service /usr/lib/systemd/system/sandrow-directory.socket \
    >"$work/verify.log" 2>&1 && ! grep -q . "$work/verify.log"; then
    pass "systemd-analyze verify: the four units"
  else
    fail "systemd-analyze verify:"
    cat "$work/verify.log"
  fi

  # The units' exposure: past these bounds some of the sandbox was lost.
  local unit bound score
  for unit in corvane-service.service:1.5 sandrow.service:2.0 sandrow-directory.service:0.5; do
    bound=${unit#*:}
    unit=${unit%:*}
    score=$(systemd-analyze security --offline=yes --root="$root" "$unit" 2>/dev/null |
      sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    scores="$scores $unit ${score:-?}"
    check "systemd-analyze security: $unit exposure ${score:-?} (at most $bound)" \
      awk -v s="$score" -v b="$bound" 'BEGIN { exit !(s != "" && s + 0 <= b + 0) }'
  done

  # The administrator's edits, and a unit disabled, must survive the upgrade.
  echo "; edited before the upgrade" >>"$root/etc/corvane/kernel.ini"
  echo "; edited before the upgrade" >>"$root/etc/sandrow/directory.ini"
  echo "SANDROW_DIRECTORY_HOST=directory.invalid" >>"$root/etc/sandrow/environment"
  in_root systemctl --quiet disable sandrow.service
  deb=$(scripts/package.sh | tail -n 1)
  cp "$deb" "$root$installed"
  dpkg_step upgrade -i "$installed" || return 0
  check "upgrade: kernel.ini keeps the edit" grep -qx '; edited before the upgrade' "$root/etc/corvane/kernel.ini"
  check "upgrade: directory.ini keeps the edit" grep -qx '; edited before the upgrade' "$root/etc/sandrow/directory.ini"
  check "upgrade: environment keeps the edit" grep -qx 'SANDROW_DIRECTORY_HOST=directory.invalid' "$root/etc/sandrow/environment"
  check "upgrade: users kept" sh -c "unshare --net chroot '$root' getent passwd corvane sandrow >/dev/null"
  check "upgrade: corvane-service still enabled" test -L "$root$wants/corvane-service.service"
  check "upgrade: sandrow stays disabled" test ! -e "$root$wants/sandrow.service"

  dpkg_step remove -r sandrow || return 0
  check "remove: programs gone" test ! -e "$root/usr/bin/sandrow" -a ! -e "$root/usr/bin/corvane-service" \
    -a ! -e "$root/usr/bin/sandrow-directory"
  check "remove: configuration kept" test -f "$root/etc/corvane/kernel.ini" -a -f "$root/etc/sandrow/registry.reg" \
    -a -f "$root/etc/sandrow/directory.ini"
  check "remove: users kept" user_exists sandrow

  dpkg_step purge -P sandrow || return 0
  for user in corvane sandrow; do
    check "purge: user $user gone" sh -c "! unshare --net chroot '$root' getent passwd $user >/dev/null"
    check "purge: group $user gone" sh -c "! unshare --net chroot '$root' getent group $user >/dev/null"
  done
  rm -f "$root$installed"
  snapshot >"$work/after.txt"
  if diff -u "$work/before.txt" "$work/after.txt" >"$work/tree.diff"; then
    pass "purge: the tree's file list is the one before the installation"
  else
    fail "purge: the tree differs from before the installation (- before, + after):"
    sed -n '3,$p' "$work/tree.diff"
  fi
}
scores=""
cycle
finished=yes

echo "exposure (systemd-analyze security):$scores"
echo "check-package.sh: $((checks - failures)) passed, $failures failed ($((SECONDS - started)) s)"
[ "$failures" -eq 0 ]
