#!/usr/bin/env bash
# CAN test bed: runs one command as root in a small qemu guest with a Debian
# kernel, two kvaser_pci (SJA1000) controllers on one emulated bus (can0, can1:
# down, no bitrate) and vcan0 (up). The x86-64 guest sees the host's root
# filesystem, so the command runs on this tree with .venv/bin first on PATH.
# The arm64 guest runs in a Debian 13 arm64 root (arm64.sh) with this tree at
# its own path, `python` being that root's 3.13 with this tree's aarch64 build
# (build/arm64, rebuilt on each call) and KESTRO_PROBE_DIR its probe module.
#
#   tools/canbed/canbed.sh [--arch x86_64|arm64] [--] COMMAND [ARGS...]
#
# Exit status: the command's; 124 on time-out; 125 when the bed itself failed.
# Environment:
#   CANBED_TIMEOUT   seconds before the guest is killed (default 1200)
#   CANBED_ENV       names of extra variables to pass to the command
#   CANBED_REFRESH=1 fetch the newest kernel (arm64: the whole root) again
#   CANBED_9P_CACHE  mmap (default) or loose: about twice as fast on file
#                    access, but blind to host changes made during the run
#   KESTRO_CACHE     where the arm64 root lives (default ~/.cache/kestro)
# Kernel, modules and initramfs are cached in build/canbed/ (arm64: in the
# cache above); the guest's kernel console of the last run is
# build/canbed/last-console.log (arm64: last-console-arm64.log).
set -euo pipefail

ARCH=x86_64
if [ "${1:-}" = "--arch" ]; then
	ARCH=${2:-}
	shift 2 || true
fi
case $ARCH in amd64) ARCH=x86_64 ;; arm64) ARCH=aarch64 ;; esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=$root/build/canbed
runs=$root/build/canbed
console_log=$runs/last-console.log
busybox=/bin/busybox
sysroot=
init=$here/guest-init.sh
timeout_s=${CANBED_TIMEOUT:-1200}
p9_cache=${CANBED_9P_CACHE:-mmap}
modules="virtio_pci virtio_console 9pnet_virtio 9p can_raw can_bcm vcan kvaser_pci"

case $ARCH in
x86_64)
	qemu_pkg=qemu-system-x86 qemu=qemu-system-x86_64 kernel_pkg=linux-image-amd64
	console=ttyS0 machine=(-machine pc -cpu max)
	;;
aarch64)
	qemu_pkg=qemu-system-arm qemu=qemu-system-aarch64 kernel_pkg=linux-image-arm64
	# Pointer authentication with qemu's own cipher instead of QARMA: the
	# same instructions, and the guest runs about twice as fast.
	console=ttyAMA0 machine=(-machine virt -cpu max,pauth-impdef=on)
	# shellcheck source=arm64.sh
	. "$here/arm64.sh"
	cache=$arm64_cache busybox=$arm64_root/usr/bin/busybox sysroot=$arm64_root
	console_log=$runs/last-console-arm64.log
	;;
*) echo "canbed: unsupported architecture $ARCH" >&2; exit 125 ;;
esac
case $p9_cache in
none | mmap | loose) ;;
*) echo "canbed: CANBED_9P_CACHE must be none, mmap or loose" >&2; exit 125 ;;
esac

say() { echo "canbed: $*" >&2; }
die() { say "$*"; exit 125; }

export DEBIAN_FRONTEND=noninteractive
apt_updated=
apt_update() {
	[ -n "$apt_updated" ] && return 0
	apt_updated=1
	apt-get update -q >&2
}

# Installs the host tools that are missing (the guest uses the host's ip,
# bash and can-utils through its root filesystem).
ensure_tools() {
	local need=() pkg_cmd pkg cmd
	for pkg_cmd in "$qemu_pkg:$qemu" busybox-static:/bin/busybox cpio:cpio kmod:depmod \
		can-utils:cansend iproute2:ip xz-utils:xz zstd:zstd; do
		pkg=${pkg_cmd%%:*} cmd=${pkg_cmd#*:}
		command -v "$cmd" >/dev/null || need+=("$pkg")
	done
	[ ${#need[@]} -eq 0 ] && return 0
	[ "$(id -u)" -eq 0 ] || die "missing packages (${need[*]}); run once as root to install them"
	say "installing ${need[*]}"
	apt_update
	apt-get install -y -q "${need[@]}" >&2
}

# Rewrites modules.dep (or modules.builtin) with short, underscored module
# names ("name: dep dep"), so names given with '-' or '_' both match.
module_table() {
	sed -E 's#([^ :]*/)?([^/ :]+)\.ko(\.(xz|zst|gz))?#\2#g; s/-/_/g' "$1"
}

# Appends module $1 and, before it, what it depends on to $order.
add_module() {
	local m=${1//-/_} d
	case " $order " in *" $m "*) return 0 ;; esac
	local line
	line=$(grep -E "^$m:" "$table") || {
		grep -qx "$m" "$builtin" && return 0
		die "module $1 is neither in modules.dep nor built in"
	}
	for d in ${line#*:}; do add_module "$d"; done
	order+=" $m"
}

# Unpacks the kernel in x86 bzImage $1 into $2. qemu boots that ELF through
# its PVH entry, which skips seconds of decompression under emulation. The
# payload ends with its unpacked size, which tells whether this worked.
unpack_bzimage() {
	[ "$(dd if="$1" bs=1 skip=514 count=4 2>/dev/null)" = HdrS ] || return 1
	local setup off len size
	setup=$(od -An -tu1 -j497 -N1 "$1") off=$(od -An -tu4 -j584 -N4 "$1") len=$(od -An -tu4 -j588 -N4 "$1")
	tail -c +$(((setup + 1) * 512 + off + 1)) "$1" | head -c $((len)) >"$2.payload"
	size=$(tail -c 4 "$2.payload" | od -An -tu4)
	case $(od -An -tx1 -N4 "$2.payload" | tr -d ' ') in
	fd377a58) xz -dc --single-stream ;;
	1f8b*) gzip -dc ;;
	28b52ffd) zstd -qdc ;;
	*) false ;;
	esac <"$2.payload" >"$2" 2>/dev/null || true
	rm -f "$2.payload"
	[ "$(head -c 4 "$2" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] &&
		[ "$(stat -c %s "$2")" -eq $((size)) ] || { rm -f "$2"; return 1; }
}

# Fetches the kernel that $kernel_pkg depends on and keeps vmlinuz plus the
# modules that the guest loads, uncompressed, in $cache/kernel.
fetch_kernel() {
	local pkg
	tmp=$(mktemp -d)
	if [ "$ARCH" = aarch64 ]; then
		ln -s "$arm64_root" "$tmp/tree"
	else
		download_kernel
	fi
	kernel_from_tree
}

download_kernel() {
	local pkg
	chown _apt "$tmp" 2>/dev/null || true # apt downloads as that user
	pkg=$(apt-cache depends "$kernel_pkg" 2>/dev/null | awk '/Depends:/ { print $2; exit }') || true
	if [ -z "$pkg" ]; then
		apt_update
		pkg=$(apt-cache depends "$kernel_pkg" | awk '/Depends:/ { print $2; exit }')
	fi
	[ -n "$pkg" ] || die "cannot tell which kernel $kernel_pkg depends on"
	say "downloading $pkg"
	(cd "$tmp" && apt-get download -q "$pkg" >&2) ||
		{ apt_update && (cd "$tmp" && apt-get download -q "$pkg" >&2); } ||
		die "cannot download $pkg"
	dpkg -x "$tmp"/*.deb "$tmp/tree"
}

kernel_from_tree() {
	local moddir kver base
	moddir=$(find -H "$tmp/tree" -maxdepth 4 -type d -path '*/lib/modules/*' -prune | head -n1)
	[ -n "$moddir" ] || die "$pkg has no modules"
	kver=${moddir##*/} base=${moddir%/lib/modules/*}
	depmod -b "$base" "$kver"

	local table=$tmp/table builtin=$tmp/builtin order=
	module_table "$moddir/modules.dep" >"$table"
	module_table "$moddir/modules.builtin" >"$builtin"
	for m in $modules; do add_module "$m"; done

	local new=$tmp/kernel m path
	mkdir -p "$new/modules"
	cp "$tmp/tree/boot/vmlinuz-$kver" "$new/vmlinuz"
	unpack_bzimage "$new/vmlinuz" "$new/vmlinux" || true
	for m in $order; do
		path=$(sed -E 's/:.*//' "$moddir/modules.dep" | grep -E "/${m//_/[-_]}\.ko(\.(xz|zst|gz))?$")
		case $path in
		*.xz) xz -dc "$moddir/$path" ;;
		*.zst) zstd -qdc "$moddir/$path" ;;
		*.gz) gzip -dc "$moddir/$path" ;;
		*) cat "$moddir/$path" ;;
		esac >"$new/modules/$m.ko"
	done
	echo "$order" | tr ' ' '\n' | sed '/^$/d' >"$new/modules.order"
	echo "$kver" >"$new/version"
	echo "$modules" >"$new/wanted"
	rm -rf "$cache/kernel"
	mv "$new" "$cache/kernel"
	rm -rf "$tmp"
	tmp=
}

# Builds the initramfs for this kernel and init unless it is cached; the file
# name carries a hash of what went into it. Sets $initrd.
make_initramfs() {
	local key img
	key=$(cat "$init" "$cache/kernel/version" "$cache/kernel/modules.order" | sha256sum | cut -c1-16)
	img=$cache/initramfs-$key.cpio
	if [ ! -f "$img" ]; then
		tmp=$(mktemp -d)
		mkdir -p "$tmp"/{bin,dev,proc,sys,modules}
		cp "$busybox" "$tmp/bin/busybox"
		cp "$init" "$tmp/init"
		chmod 755 "$tmp/init"
		cp "$cache/kernel/modules/"*.ko "$tmp/modules/"
		cp "$cache/kernel/modules.order" "$tmp/modules.order"
		(cd "$tmp" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$img.tmp"
		rm -f "$cache"/initramfs-*.cpio
		mv "$img.tmp" "$img"
		rm -rf "$tmp"
		tmp=
	fi
	initrd=$img
}

prepare() {
	mkdir -p "$cache"
	exec 9>"$cache/.lock"
	flock 9
	ensure_tools
	[ "$ARCH" = aarch64 ] && arm64_prepare
	if [ -n "${CANBED_REFRESH:-}" ] || [ ! -f "$cache/kernel/wanted" ] ||
		[ "$(cat "$cache/kernel/wanted")" != "$modules" ]; then
		fetch_kernel
	fi
	make_initramfs
	exec 9>&-
}

# Writes the script that the guest runs with the host's bash: the quoting of
# printf %q survives any argument.
write_cmd() {
	local v
	{
		echo "cd $(printf %q "$root") && unset OLDPWD || exit 125"
		if [ -n "$sysroot" ]; then
			# The arm64 root's programs, and its Python with the aarch64 build of this tree.
			echo "export HOME=/root CANBED_GUEST=1 PATH=$(printf %q "$arm64_bin"):/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
			echo "export PYTHONPATH=$(printf %q "$arm64_site") KESTRO_PROBE_DIR=$(printf %q "$arm64_probe")"
			# Every instruction is emulated: wall-clock margins in the tests must widen.
			echo "export KESTRO_EMULATED=1"
		else
			echo "export HOME=/root CANBED_GUEST=1 PATH=$(printf %q "$PATH")"
		fi
		for v in TERM LANG LC_ALL TZ CI ${CANBED_ENV:-}; do
			[ -n "${!v+x}" ] && echo "export $v=$(printf %q "${!v}")"
		done
		[ -n "$sysroot" ] || echo "if [ -d .venv/bin ]; then export VIRTUAL_ENV=\$PWD/.venv PATH=\$PWD/.venv/bin:\$PATH; fi"
		printf 'exec --'
		printf ' %q' "$@"
		echo
	} >"$run/cmd.sh"
}

# Tells the guest which root to run in and which host tree to bind into it.
sysroot_args() {
	[ -n "$sysroot" ] || return 0
	printf ' canbed_sysroot=%s canbed_tree=%s' "$(printf %s "$sysroot" | base64 -w0)" "$(printf %s "$root" | base64 -w0)"
}

run_guest() {
	local qrc=0 out_fd err_fd
	mkdir -p "$runs"
	run=$(mktemp -d "$runs/run.XXXXXX")
	write_cmd "$@"
	# The fifos are held open here as well, so neither cat waits for qemu to
	# open them and both see their end once qemu is gone.
	mkfifo "$run/out" "$run/err"
	exec {out_fd}<>"$run/out" {err_fd}<>"$run/err"
	cat "$run/out" {out_fd}>&- {err_fd}>&- &
	cat_out=$!
	cat "$run/err" >&2 {out_fd}>&- {err_fd}>&- &
	cat_err=$!

	local r=${run//,/,,} kernel=$cache/kernel/vmlinux
	[ -f "$kernel" ] || kernel=$cache/kernel/vmlinuz
	timeout --foreground -k 10 "$timeout_s" "$qemu" -accel tcg "${machine[@]}" -m 1024 -smp 2 \
		-nodefaults -no-user-config -display none -no-reboot \
		-kernel "$kernel" -initrd "$initrd" \
		-append "console=$console quiet loglevel=4 panic=-1 mitigations=off acpi=noirq canbed_cache=$p9_cache canbed_run=$(printf %s "$run" | base64 -w0)$(sysroot_args)" \
		-serial "file:$r/console.log" \
		-virtfs local,path=/,mount_tag=host,security_model=passthrough,multidevs=remap \
		-device virtio-serial-pci,id=vs \
		-chardev "file,id=out,path=$r/out" -device virtserialport,bus=vs.0,chardev=out,name=canbed.out \
		-chardev "file,id=err,path=$r/err" -device virtserialport,bus=vs.0,chardev=err,name=canbed.err \
		-object can-bus,id=canbus0 \
		-device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0 \
		</dev/null >&2 {out_fd}>&- {err_fd}>&- &
	qemu_pid=$!
	wait "$qemu_pid" || qrc=$?
	qemu_pid=''
	exec {out_fd}>&- {err_fd}>&-
	wait "$cat_out" "$cat_err" || true
	cat_out='' cat_err=''
	cp "$run/console.log" "$console_log" 2>/dev/null || true

	if [ "$qrc" -eq 124 ]; then
		say "timed out after ${timeout_s} s (CANBED_TIMEOUT)"
		exit 124
	fi
	local status
	status=$(cat "$run/status" 2>/dev/null) || true
	if [[ ! $status =~ ^[0-9]+$ ]]; then
		say "the guest ended without an exit status (qemu: $qrc); its console ends with:"
		tail -n 20 "$console_log" >&2 2>/dev/null || true
		exit 125
	fi
	exit "$status"
}

# On a signal, stop the guest (qemu runs in the background, so the signal
# reaches this script at once) and let cleanup do the rest.
stop() {
	set +e
	if [ -n "${qemu_pid:-}" ]; then
		kill "$qemu_pid" 2>/dev/null
		wait "$qemu_pid" 2>/dev/null
		say "interrupted; guest stopped"
	fi
	exit "$1"
}

cleanup() {
	set +e
	[ -n "${qemu_pid:-}" ] && kill "$qemu_pid" 2>/dev/null
	[ -n "${cat_out:-}" ] && kill "$cat_out" 2>/dev/null
	[ -n "${cat_err:-}" ] && kill "$cat_err" 2>/dev/null
	[ -n "${run:-}" ] && rm -rf "$run"
	[ -n "${tmp:-}" ] && rm -rf "$tmp"
	return 0
}

[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { sed -n '2,23s/^# \{0,1\}//p' "$0" >&2; exit 2; }
trap cleanup EXIT
trap 'stop 129' HUP
trap 'stop 130' INT
trap 'stop 143' TERM
prepare
run_guest "$@"
