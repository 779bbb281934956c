#!/bin/busybox sh
# /init of the canbed guest (copied into the initramfs by canbed.sh): loads the
# modules, mounts the host's root over 9p, sets up can0/can1/vcan0, runs the
# command that the host left in its run folder and writes its exit status back.
# The command runs in the host's root, or (canbed_sysroot=) in another root on
# the host with the host's tree (canbed_tree=) bound at its own path.
# Messages from here go to the kernel console, which the host keeps in a log.

/bin/busybox --install -s /bin
export PATH=/bin

fail() {
	echo "canbed-init: $*"
	sync
	poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1

for m in $(cat /modules.order); do
	insmod "/modules/$m.ko" || fail "cannot load module $m"
done

# The host passes its run folder base64-encoded, so any path survives.
run=$(sed -n 's/.*canbed_run=\([A-Za-z0-9+/=]*\).*/\1/p' /proc/cmdline | base64 -d)
[ -n "$run" ] || fail "no canbed_run= on the kernel command line"
cache=$(sed -n 's/.*canbed_cache=\([a-z]*\).*/\1/p' /proc/cmdline)

mkdir -p /host
mount -t 9p -o "trans=virtio,version=9p2000.L,msize=512000,cache=${cache:-mmap}" host /host ||
	fail "cannot mount the host's root over 9p"
[ -f "/host$run/cmd.sh" ] || fail "no $run/cmd.sh on the host"

arg64() { sed -n "s/.*$1=\([A-Za-z0-9+/=]*\).*/\1/p" /proc/cmdline | base64 -d; }
sysroot=$(arg64 canbed_sysroot)
tree=$(arg64 canbed_tree)
root=/host$sysroot
[ -x "$root/bin/sh" ] || fail "no root at $sysroot on the host"

mount -t proc proc $root/proc
mount -t sysfs sysfs $root/sys
mount -t devtmpfs devtmpfs $root/dev
mkdir -p $root/dev/pts $root/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts $root/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $root/dev/shm
# A fresh /tmp (files unlinked while open, as tempfile makes them, do not work over 9p). A tree that lives
# in the host's /tmp is bound back into it at the same path.
case $run in
/tmp/*)
	top=${run#/tmp/}
	top=/tmp/${top%%/*}
	mkdir -p /keep
	mount -o bind "/host$top" /keep
	mount -t tmpfs -o mode=1777 tmpfs $root/tmp
	mkdir -p "$root$top"
	mount -o bind /keep "$root$top"
	;;
*) mount -t tmpfs -o mode=1777 tmpfs $root/tmp ;;
esac
mount -t tmpfs -o mode=0755 tmpfs $root/run
if [ -n "$sysroot" ]; then
	# The tree and the run folder in it, at their own paths in the other root.
	mkdir -p "$root$tree"
	mount -o bind "/host$tree" "$root$tree" || fail "cannot bind $tree into the root"
fi

# The command's stdout and stderr are two virtio serial ports, found by name.
port() {
	for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
		for n in /sys/class/virtio-ports/*/name; do
			if [ "$(cat "$n" 2>/dev/null)" = "$1" ]; then
				d=${n%/name}
				d=/dev/${d##*/}
				[ -c "$d" ] && echo "$d" && return 0
			fi
		done
		sleep 0.1
	done
	return 1
}
out=$(port canbed.out) || fail "no canbed.out port"
err=$(port canbed.err) || fail "no canbed.err port"

# Runs a program of the host's in a clean environment; cmd.sh sets its own.
hostsh() {
	env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin chroot $root "$@"
}
hostsh ip link set lo up || fail "cannot bring lo up"
hostsh ip link add dev vcan0 type vcan || fail "cannot add vcan0"
hostsh ip link set vcan0 up || fail "cannot bring vcan0 up"
for c in can0 can1; do
	[ -e "/sys/class/net/$c" ] || fail "$c is missing"
done

echo "canbed-init: command starts at uptime $(cut -d' ' -f1 /proc/uptime) s"
hostsh /bin/bash "$run/cmd.sh" </dev/null >"$out" 2>"$err"
rc=$?
echo "canbed-init: command ended with status $rc at uptime $(cut -d' ' -f1 /proc/uptime) s"

echo "$rc" >"/host$run/status.tmp" && mv "/host$run/status.tmp" "/host$run/status"
sync
poweroff -f
