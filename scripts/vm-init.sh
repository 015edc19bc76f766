#!/bin/busybox sh
# The init of scripts/vm.sh's guest (busybox, in its initramfs): mounts the
# host's root read-only with tmpfs and the writable shares over it, runs the
# command in it as root and powers off. The command's status goes to the io
# share, where the host reads it.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod "/modules/$m" || echo "vm-init: insmod $m failed"; done

repo=""
for arg in $(cat /proc/cmdline); do
  case "$arg" in vm.repo=*) repo=${arg#vm.repo=} ;; esac
done
opts=trans=virtio,version=9p2000.L,msize=524288
new=/mnt
mkdir -p /io
mount -t 9p -o "$opts" io /io
mount -t 9p -o "$opts,ro,cache=loose" hostroot "$new" || { echo "vm-init: cannot mount the host's root"; poweroff -f; }
if grep -q vm.probe /proc/cmdline; then
  touch /io/booted
  sync
  poweroff -f
fi
for d in tmp run var/tmp; do mount -t tmpfs -o mode=1777 tmpfs "$new/$d"; done
mkdir -p /dev/shm /dev/pts
mount -o bind /dev "$new/dev"
mount -t tmpfs -o mode=1777 tmpfs "$new/dev/shm"
mount -t devpts devpts "$new/dev/pts" 2>/dev/null
mount -t proc proc "$new/proc"
mount -t sysfs sys "$new/sys"
mount -t cgroup2 cgroup2 "$new/sys/fs/cgroup" 2>/dev/null
mount -t 9p -o "$opts,cache=mmap" repo "$new$repo"
mkdir -p "$new/run/vm" "$new/run/vm-kernel/bin" "$new/run/vm-kernel/lib/modules"
mount -o bind /io "$new/run/vm"
# The stock kernel's modules, where the host's modprobe finds them with -d
# (the read-only root may have no /lib/modules to mount them on): the
# command's PATH starts with this modprobe, and the kernel, when it asks for
# a module (a qdisc kind, ifb, veth), runs it in the new root.
mount -t 9p -o "$opts,ro,cache=loose" modules "$new/run/vm-kernel/lib/modules"
printf '#!/bin/sh\nexec /sbin/modprobe -d /run/vm-kernel "$@"\n' >"$new/run/vm-kernel/bin/modprobe"
chmod +x "$new/run/vm-kernel/bin/modprobe"
printf '#!/bin/sh\nexec chroot %s /run/vm-kernel/bin/modprobe "$@"\n' "$new" >/modprobe
chmod +x /modprobe
echo /modprobe >/proc/sys/kernel/modprobe
hostname vm
ip link set lo up

touch /io/booted
stty -F /dev/console -onlcr 2>/dev/null
chroot "$new" /bin/sh -c '. /run/vm/command' </dev/null >/dev/console 2>&1
echo $? >/io/status
sync
echo 0 >/proc/sys/kernel/printk
poweroff -f
