#!/usr/bin/env bash
# Runs COMMAND as root inside Debian's stock kernel (the one linux-image-amd64
# depends on) under QEMU, in the repository root, and exits with its status:
#   scripts/vm.sh [--] COMMAND [ARG...]
# The guest sees the host's filesystem read-only over 9p, the repository (and
# so the build folders) writable, tmpfs on /tmp, /run and /var/tmp, and the
# stock kernel's modules where modprobe looks, so the kernel loads sch_cake and
# the like on demand. The kernel package is fetched once into VM_CACHE
# (default .cache/vm) and extracted there.
#   VM_TIMEOUT       seconds for the whole run (default 1800)
#   VM_BOOT_TIMEOUT  seconds until the guest has mounted its root (default 120)
#   VM_ACCEL         kvm or tcg (default: kvm only when a quick boot shows it
#                    works; on some hosts /dev/kvm exists and the guest hangs)
#   VM_MEMORY        guest memory (default 4G); VM_CPUS (default: host's cores)
# Environment variables named SANDROW_*, CORVANE_*, GTEST_*, CTEST_*, *SAN_OPTIONS
# and CI are passed into the guest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ "${1:-}" = -- ] && shift
if (($# == 0)); then
  echo "usage: scripts/vm.sh [--] COMMAND [ARG...]" >&2
  exit 2
fi
fail() {
  echo "scripts/vm.sh: $*" >&2
  exit 3
}
[ "$(id -u)" -eq 0 ] || exec sudo -- "$0" "$@"

"$root/scripts/deps.sh" qemu-system-x86 busybox-static cpio kmod >/dev/null
cache=${VM_CACHE:-"$root/.cache/vm"}
timeout_s=${VM_TIMEOUT:-1800}
boot_timeout_s=${VM_BOOT_TIMEOUT:-120}
mkdir -p "$cache"

# The stock kernel: the image package that the meta package names today.
stock_kernel() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1
}
kernel_pkg=$(stock_kernel)
if [ -z "$kernel_pkg" ]; then
  # A machine whose package lists were never fetched knows no package yet.
  apt-get update -qq >/dev/null 2>&1 || true
  kernel_pkg=$(stock_kernel)
fi
[ -n "$kernel_pkg" ] || fail "no kernel package: apt-cache names no image that linux-image-amd64 depends on"
release=${kernel_pkg#linux-image-}
kdir="$cache/$release"
if [ ! -e "$kdir/ready" ]; then
  rm -rf "$kdir" "$cache/download"
  mkdir -p "$cache/download"
  (cd "$cache/download" && apt-get download -q "$kernel_pkg" >/dev/null 2>&1) ||
    fail "no kernel package: apt-get download $kernel_pkg failed"
  mkdir -p "$kdir/tree"
  dpkg-deb -x "$cache/download"/"$kernel_pkg"_*.deb "$kdir/tree" || fail "cannot extract $kernel_pkg"
  rm -rf "$cache/download" "$kdir/tree/usr/share"
  depmod -b "$kdir/tree" "$release"
  touch "$kdir/ready"
fi
vmlinuz="$kdir/tree/boot/vmlinuz-$release"
modules="$kdir/tree/lib/modules/$release"
[ -f "$vmlinuz" ] || fail "no kernel image in $kdir (remove it to fetch again)"

# The initramfs: busybox, the modules that mount the 9p shares, and init.
initrd="$kdir/initrd.gz"
if [ ! -e "$initrd" ] || [ "$root/scripts/vm-init.sh" -nt "$initrd" ]; then
  stage=$(mktemp -d)
  mkdir -p "$stage"/{bin,proc,sys,dev,mnt,modules}
  cp /bin/busybox "$stage/bin/busybox"
  cp "$root/scripts/vm-init.sh" "$stage/init"
  chmod +x "$stage/init"
  # Each module after what it depends on (modules.dep lists a module's
  # dependencies, the ones needed first last).
  declare -A seen=()
  order=()
  add_module() {
    local line deps dep i
    line=$(grep -E "(^|/)$1\.ko:" "$modules/modules.dep" | head -n1)
    [ -n "$line" ] || fail "module $1 missing from $release"
    read -ra deps <<<"${line#*:}"
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
      dep=${deps[i]##*/}
      add_module "${dep%.ko}"
    done
    local path=${line%%:*}
    if [ -z "${seen[$path]+set}" ]; then
      seen[$path]=1
      order+=("$path")
    fi
  }
  for m in virtio_pci 9pnet_virtio 9p; do add_module "$m"; done
  for path in "${order[@]}"; do
    cp "$modules/$path" "$stage/modules/"
    echo "${path##*/}" >>"$stage/modules/order"
  done
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.new"
  mv "$initrd.new" "$initrd"
  rm -rf "$stage"
fi

# What the guest runs, and where it says it has booted and how COMMAND ended.
io=$(mktemp -d)
qemu_pid=""
cleanup() {
  if [ -n "$qemu_pid" ]; then
    kill "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  rm -rf "$io"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
{
  echo "export PATH=/run/vm-kernel/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root"
  env | grep -E '^(SANDROW_|CORVANE_|GTEST_|CTEST_|[A-Z]+SAN_OPTIONS=|CI=)' | while IFS='=' read -r name value; do
    printf 'export %s=%q\n' "$name" "$value"
  done || true
  printf 'cd %q\n' "$root"
  printf '%q ' "$@"
  echo
} >"$io/command"

cpus=${VM_CPUS:-$(nproc)}
qemu_args=(-M q35 -m "${VM_MEMORY:-4G}" -smp "$cpus" -cpu max -nodefaults -no-reboot
  -display none -nic none
  -kernel "$vmlinuz" -initrd "$initrd"
  -chardev stdio,id=console,signal=off -serial chardev:console
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
  -virtfs "local,path=$root,mount_tag=repo,security_model=none,multidevs=remap"
  -virtfs "local,path=$kdir/tree/lib/modules,mount_tag=modules,security_model=none,readonly=on"
  -virtfs "local,path=$io,mount_tag=io,security_model=none")
append="console=ttyS0 quiet loglevel=1 panic=-1 mitigations=off vm.repo=$root"

accel=${VM_ACCEL:-}
if [ -z "$accel" ]; then
  accel=tcg
  if [ -w /dev/kvm ]; then
    # A guest that powers off at once: seconds with KVM where it works.
    if timeout 20 qemu-system-x86_64 "${qemu_args[@]}" -accel kvm -append "$append vm.probe" \
      </dev/null >/dev/null 2>&1 && [ -e "$io/booted" ]; then
      accel=kvm
    fi
    rm -f "$io/booted"
  fi
fi

qemu-system-x86_64 "${qemu_args[@]}" -accel "$accel" -append "$append" </dev/null &
qemu_pid=$!
start=$SECONDS
while [ ! -e "$io/booted" ]; do
  if ! kill -0 "$qemu_pid" 2>/dev/null; then
    wait "$qemu_pid" || true
    qemu_pid=""
    fail "the VM stopped before it booted (kernel $release)"
  fi
  ((SECONDS - start < boot_timeout_s)) || fail "the VM did not boot within ${boot_timeout_s} s (kernel $release, $accel)"
  sleep 0.2
done
while kill -0 "$qemu_pid" 2>/dev/null; do
  if ((SECONDS - start >= timeout_s)); then
    fail "the VM did not finish within ${timeout_s} s (VM_TIMEOUT)"
  fi
  sleep 1
done
wait "$qemu_pid" || true
qemu_pid=""
[ -s "$io/status" ] || fail "the VM stopped before COMMAND ended (kernel $release)"
exit "$(cat "$io/status")"
