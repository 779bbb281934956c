# Sourced by canbed.sh for the arm64 bed. Owns the Debian 13 arm64 root that the
# guest runs in (unpacked without emulation, cached outside the tree; its kernel
# is the bed's kernel) and the cross build of this tree's module for it.
# shellcheck shell=bash

arm64_cache=${KESTRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro}/arm64
arm64_packages="python3.13 python3-pytest python3-hypothesis python3-can python3-numpy iproute2 can-utils
bash dash coreutils procps util-linux sed grep busybox-static libstdc++6 libpython3.13-dev libasio-dev
linux-image-arm64"
arm64_key=$(printf '%s\n' "$arm64_packages" | sha256sum | cut -c1-16)
arm64_root=$arm64_cache/root-$arm64_key
arm64_out=$root/build/arm64
arm64_bin=$arm64_out/bin
arm64_site=$arm64_out/site

# The root: the packages and what they depend on, unpacked (no package scripts
# run, so nothing has to execute arm64 code on the host).
arm64_root_ready() {
	[ -x "$arm64_root/usr/bin/python3.13" ] && [ -f "$arm64_root/.complete" ]
}

arm64_make_root() {
	local new=$arm64_root.new
	say "unpacking a Debian 13 arm64 root (once)"
	rm -rf "$arm64_cache"/root-* "$arm64_cache/kernel" "$arm64_cache"/initramfs-*.cpio
	mmdebstrap --quiet --variant=extract --arch=arm64 \
		--include="$(echo $arm64_packages | tr ' ' ',')" \
		trixie "$new" http://deb.debian.org/debian >&2 || die "mmdebstrap failed"
	touch "$new/.complete"
	mv "$new" "$arm64_root"
}

# Cross-compiles the module with the host's aarch64 toolchain against the
# root's Python 3.13 and Asio headers (its pyconfig.h is the arm64 one).
arm64_build() {
	local inc=$arm64_out/include
	if [ ! -f "$inc/.key" ] || [ "$(cat "$inc/.key")" != "$arm64_key" ]; then
		rm -rf "$inc"
		mkdir -p "$inc"
		cp -r "$arm64_root/usr/include/python3.13" "$inc/"
		cp "$arm64_root/usr/include/aarch64-linux-gnu/python3.13/pyconfig.h" "$inc/python3.13/pyconfig.h"
		cp -r "$arm64_root/usr/include/asio.hpp" "$arm64_root/usr/include/asio" "$inc/"
		echo "$arm64_key" >"$inc/.key"
		rm -rf "$arm64_out/build"
	fi
	# CMake wants a Python 3.13 to run; the headers it builds against are the arm64 ones above.
	local py=$root/.venv/bin/python
	[ -x "$py" ] || py=$(command -v python3.13) || die "no Python 3.13 on the host for CMake"
	cmake -S "$root" -B "$arm64_out/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE="$here/aarch64-toolchain.cmake" -DPython_EXECUTABLE="$py" \
		-DPython_INCLUDE_DIR="$inc/python3.13" -DASIO_INCLUDE_DIR="$inc" >/dev/null || die "cross configure failed"
	say "cross-building the module for aarch64"
	cmake --build "$arm64_out/build" -j "$(nproc)" >"$arm64_out/build.log" 2>&1 ||
		{ tail -n 40 "$arm64_out/build.log" >&2; die "cross build failed"; }
	mkdir -p "$arm64_site" "$arm64_bin"
	cp "$arm64_out/build/kestro.so" "$arm64_site/kestro.cpython-313-aarch64-linux-gnu.so"
	cp "$root/src/lib/kestro.pyi" "$arm64_site/"
	ln -sfn /usr/bin/python3.13 "$arm64_bin/python"
}

arm64_prepare() {
	local need=() p
	for p in mmdebstrap:mmdebstrap g++-aarch64-linux-gnu:aarch64-linux-gnu-g++ cmake:cmake ninja-build:ninja; do
		command -v "${p#*:}" >/dev/null || need+=("${p%%:*}")
	done
	if [ ${#need[@]} -gt 0 ]; then
		[ "$(id -u)" -eq 0 ] || die "missing packages (${need[*]}); run once as root to install them"
		say "installing ${need[*]}"
		apt_update
		apt-get install -y -q "${need[@]}" >&2
	fi
	mkdir -p "$arm64_cache"
	arm64_root_ready || arm64_make_root
	arm64_build
}
