# Sourced. Debian roots that the project builds and tests in without touching the host's packages: made once
# with mmdebstrap, cached outside the tree under a key of their recipe, and entered with this tree bound at its
# own path (a private mount namespace, so nothing stays mounted when the command ends).
#
#   debian_root VAR SUITE PACKAGE...   sets VAR to a root of SUITE with PACKAGEs, making it when missing
#   debian_root_run ROOT COMMAND...    runs COMMAND as root in ROOT, in this tree, with the host's network
#   debian_fetch DIR PACKAGE:ARCH/SUITE...
#                                      unpacks those packages (no dependencies, no scripts) into DIR
# shellcheck shell=bash

debian_cache=${KESTRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro}
debian_mirror=http://deb.debian.org/debian
debian_tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# shellcheck source=tools/host_packages.sh
. "$debian_tree/tools/host_packages.sh"

debian_say() { printf '[debian] %s\n' "$*" >&2; }


debian_root() {
	local _var=$1 suite=$2
	shift 2
	local key dir
	key=$(printf '%s\n' "$suite" "$debian_mirror" "$@" | sha256sum | cut -c1-12)
	dir=$debian_cache/root-$suite-$key
	mkdir -p "$debian_cache"
	(
		flock 9
		[ -f "$dir/.complete" ] && exit 0
		host_install mmdebstrap util-linux debian-archive-keyring
		debian_say "making a Debian $suite root with $* (once; cached in $debian_cache)"
		rm -rf "$debian_cache/root-$suite-"* "$dir.new"
		# unstable's Release file is often past its validity date.
		mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
			--include="$(IFS=,; echo "$*")" "$suite" "$dir.new" "$debian_mirror" >&2 || exit 1
		touch "$dir.new/.complete"
		mv "$dir.new" "$dir"
	) 9>"$debian_cache/.lock-root-$suite" || { debian_say "cannot make the $suite root"; return 1; }
	printf -v "$_var" %s "$dir"
}

# The host's name resolution, certificate bundle and pip configuration go in fresh on every run: pip inside the
# root must reach the same indexes through the same proxy as the host's.
debian_root_refresh() {
	local rootfs=$1 f
	cp -L /etc/resolv.conf "$rootfs/etc/resolv.conf" 2>/dev/null || true
	for f in /etc/ssl/certs/ca-certificates.crt ${PIP_CERT:-} /etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip"; do
		[ -e "$f" ] || continue
		mkdir -p "$rootfs$(dirname "$f")"
		rm -rf "${rootfs:?}$f"
		cp -rL "$f" "$rootfs$f"
	done
}

debian_root_run() {
	local rootfs=$1
	shift
	debian_root_refresh "$rootfs"
	# /opt holds the local package indexes that the pip configuration may name.
	# A chroot that is not a mount point (the arm64 bed's root) cannot make its root private; mounts made
	# there are gone with the guest anyway.
	local propagation=private
	unshare --mount --propagation private true 2>/dev/null || propagation=unchanged
	unshare --mount --propagation "$propagation" bash -c '
		set -e
		r=$1 tree=$2
		shift 2
		mkdir -p "$r/proc" "$r/sys" "$r/dev" "$r/tmp"
		mount -t proc proc "$r/proc"
		mount --rbind /sys "$r/sys"
		mount --rbind /dev "$r/dev"
		mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
		mkdir -p "$r$tree" "$r/opt"
		mount --bind "$tree" "$r$tree"
		[ -d /opt ] && mount --rbind -o ro /opt "$r/opt" 2>/dev/null || true
		exec chroot "$r" /usr/bin/env -u LD_PRELOAD HOME=/root \
			PATH="${KESTRO_ROOT_PATH:+$KESTRO_ROOT_PATH:}/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin" \
			bash -c "cd \"\$0\" && exec \"\$@\"" "$tree" "$@"
	' debian_root_run "$rootfs" "$debian_tree" "$@"
}

debian_fetch() {
	local dest=$1
	shift
	local apt_dir=$debian_cache/apt
	mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$dest"
	cat >"$apt_dir/sources.list" <<EOF
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $debian_mirror bullseye main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $debian_mirror bookworm main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $debian_mirror trixie main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $debian_mirror sid main
EOF
	local apt=(apt-get -q -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
		-o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir" -o Dir::State::status=/dev/null
		-o APT::Architectures=amd64,arm64 -o APT::Architecture=amd64 -o Acquire::Check-Valid-Until=false
		-o APT::Sandbox::User=root)
	(
		flock 9
		# One index download a day is enough to find what these stable names point to.
		if [ -z "$(find "$apt_dir/lists" -maxdepth 1 -name '*_Packages*' -mmin -1440 2>/dev/null | head -n1)" ]; then
			"${apt[@]}" update >/dev/null || exit 1
		fi
		local debs
		debs=$(mktemp -d "$apt_dir/debs.XXXXXX")
		(cd "$debs" && "${apt[@]}" download "$@" >/dev/null) || { rm -rf "$debs"; exit 1; }
		local deb
		for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$dest"; done
		rm -rf "$debs"
	) 9>"$apt_dir/.lock" || { debian_say "cannot fetch $*"; return 1; }
}
