# Sourced by canbed.sh for the arm64 bed. Owns the Debian 13 arm64 root that
# the guest runs in (unpacked without emulation and cached outside the tree
# with the packages it came from; its kernel and busybox are the bed's) and the
# cross build of this tree for it in build/arm64: the module and the test probe
# module, made by the host's aarch64 toolchain against
# the root's Python 3.13 and Asio headers.
# shellcheck shell=bash

arm64_cache=${KESTRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro}/arm64
arm64_suite=trixie
arm64_mirror=http://deb.debian.org/debian
# Python 3.13 with the test dependencies and pip (which installs the wheel),
# the programs that the bed and the tests run (ip, tc, candump, cansend,
# cangen, sh, sleep; mount and unshare to enter the unstable root), busybox for
# the initramfs, the kernel, and the headers that the module is built against.
arm64_packages="python3.13 python3-pip python3-pytest python3-hypothesis python3-can python3-numpy
iproute2 can-utils bash dash coreutils procps util-linux mount sed grep findutils busybox-static
python3-pygments libstdc++6 linux-image-arm64 libpython3.13-dev libasio-dev"
# Debian 13's pytest (8.3) given a file and its folder, as the bed's lane does
# to provision first, runs only the file (pytest #12083). 9.0 runs both and
# still fits the root's pluggy, so its wheel goes over the packaged one.
arm64_pytest=pytest-9.0.3-py3-none-any.whl
arm64_pytest_sha256=2c5efc453d45394fdd706ade797c0a81091eccd1d6e4bccfcd476e2b8e0ab5d9
arm64_triplet=aarch64-linux-gnu
arm64_ext=.cpython-313-$arm64_triplet.so
arm64_out=$root/build/arm64
arm64_bin=$arm64_out/bin
arm64_site=$arm64_out/site
arm64_probe=$arm64_out/probe

# The root: the packages and what they depend on, unpacked. No package scripts
# run (nothing may execute arm64 code here), so the little that the guest needs
# of their work is done by hand.
arm64_make_root() {
	local new=$arm64_root.new debs=$arm64_cache/debs
	say "unpacking a Debian 13 arm64 root"
	rm -rf "$arm64_cache"/root-* "$arm64_cache"/include-* "$arm64_cache/kernel" "$arm64_cache"/initramfs-*.cpio
	mkdir -p "$debs"
	# The packages of the last root are handed to apt and kept again, so a
	# changed list downloads only what is new.
	CANBED_DEBS=$debs mmdebstrap --quiet --variant=extract --arch=arm64 \
		--include="$(echo $arm64_packages | tr ' ' ',')" \
		--setup-hook='mkdir -p "$1/var/cache/apt/archives" && find "$CANBED_DEBS" -name "*.deb" -exec cp -l -t "$1/var/cache/apt/archives" {} +' \
		--extract-hook='rm -f "$CANBED_DEBS"/*.deb && cp -l -t "$CANBED_DEBS" "$1"/var/cache/apt/archives/*.deb' \
		"$arm64_suite" "$new" "$arm64_mirror" >&2 || die "mmdebstrap failed"

	printf 'root:x:0:0:root:/root:/bin/bash\n' >"$new/etc/passwd"
	printf 'root:x:0:\n' >"$new/etc/group"
	printf '127.0.0.1\tlocalhost\n::1\tlocalhost\n' >"$new/etc/hosts"
	# pip (which installs the wheel in the guest) loads a certificate bundle even to install a file.
	mkdir -p "$new/etc/ssl/certs"
	cp -L /etc/ssl/certs/ca-certificates.crt "$new/etc/ssl/certs/" 2>/dev/null || : >"$new/etc/ssl/certs/ca-certificates.crt"
	arm64_alternatives "$new" "$debs"
	arm64_overlay_pytest "$new"
	# Bytecode does not depend on the machine: the host's 3.13 compiles what
	# the guest would otherwise compile slowly, under emulation.
	"$arm64_python" -c 'import sys; sys.exit(sys.implementation.cache_tag != "cpython-313")' &&
		"$arm64_python" -m compileall -q -j "$(nproc)" -s "$new" -p / \
			"$new/usr/lib/python3.13" "$new/usr/lib/python3/dist-packages" "$new/usr/local/lib/python3.13" \
			>/dev/null 2>&1 || true

	# The headers to build against, without the root's C library headers
	# (the cross toolchain brings its own); pyconfig.h is the arm64 one.
	local inc=$arm64_include.new
	rm -rf "$inc"
	mkdir -p "$inc"
	cp -r "$new/usr/include/python3.13" "$new/usr/include/asio.hpp" "$new/usr/include/asio" "$inc/"
	cp "$new/usr/include/$arm64_triplet/python3.13/pyconfig.h" "$inc/python3.13/pyconfig.h"
	mv "$inc" "$arm64_include"
	mv "$new" "$arm64_root"
}

# Makes the links that update-alternatives would have made in the packages'
# postinst (the highest priority wins), e.g. libblas.so.3 that numpy loads.
arm64_alternatives() {
	local new=$1 debs=$2 deb link name path prio
	for deb in "$debs"/*.deb; do
		{ dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./postinst; } 2>/dev/null || true
	done | sed -e :a -e '/\\$/{N;s/\\\n//;ba' -e '}' | tr -s '\t ' '  ' |
		sed -nE 's/.*update-alternatives --install ([^ ]+) ([^ ]+) ([^ ]+) ([0-9]+).*/\1 \2 \3 \4/p' |
		sed "s/\${\{0,1\}DEB_HOST_MULTIARCH}\{0,1\}/$arm64_triplet/g" | sort -k2,2 -k4,4nr |
		while read -r link name path prio; do
			if [ ! -L "$new/etc/alternatives/$name" ] && [ -e "$new$path" ]; then
				mkdir -p "$new/etc/alternatives" "$new${link%/*}"
				ln -sfn "$path" "$new/etc/alternatives/$name"
				ln -sfn "/etc/alternatives/$name" "$new$link"
			fi
		done
}

arm64_overlay_pytest() {
	local whl=$arm64_cache/wheels/$arm64_pytest site=$1/usr/local/lib/python3.13/dist-packages
	if ! echo "$arm64_pytest_sha256  $whl" | sha256sum -c --status 2>/dev/null; then
		mkdir -p "${whl%/*}"
		"$arm64_python" -m pip download -q --no-deps --only-binary=:all: -d "${whl%/*}" \
			"pytest==$(echo "$arm64_pytest" | cut -d- -f2)" >"$arm64_cache/pip.log" 2>&1 ||
			{ cat "$arm64_cache/pip.log" >&2; die "cannot download $arm64_pytest"; }
		echo "$arm64_pytest_sha256  $whl" | sha256sum -c --status || die "$arm64_pytest is not the one expected"
	fi
	mkdir -p "$site"
	"$arm64_python" -m zipfile -e "$whl" "$site"
}

# Cross-builds this tree (incrementally) and lays out what the guest imports:
# site/ with the module under the name that the root's Python looks for (CMake
# cannot ask a foreign Python for its suffix), probe/ likewise, and bin/python.
arm64_build() {
	mkdir -p "$arm64_out"
	local stamp=$arm64_out/.canbed-tools tools
	tools="$(aarch64-linux-gnu-g++ -dumpfullversion)"
	if [ "$(cat "$stamp" 2>/dev/null)" != "$tools" ]; then
		rm -rf "$arm64_out/CMakeCache.txt" "$arm64_out/CMakeFiles"
		echo "$tools" >"$stamp"
	fi

	local args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRO_BUILD_PROBE=ON
		-DCMAKE_TOOLCHAIN_FILE="$here/aarch64-toolchain.cmake" -DPython_EXECUTABLE="$arm64_python"
		-DPython_INCLUDE_DIR="$arm64_include/python3.13" -DASIO_INCLUDE_DIR="$arm64_include")
	stamp=$arm64_out/.canbed-configure
	if [ ! -f "$arm64_out/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "${args[*]}" ]; then
		rm -rf "$arm64_out/CMakeCache.txt" "$arm64_out/CMakeFiles"
		cmake -S "$root" -B "$arm64_out" "${args[@]}" >"$arm64_out/configure.log" 2>&1 ||
			{ tail -n 40 "$arm64_out/configure.log" >&2; die "cross configure failed"; }
		echo "${args[*]}" >"$stamp"
	fi
	say "cross-building for aarch64"
	cmake --build "$arm64_out" -j "$(nproc)" >"$arm64_out/build.log" 2>&1 ||
		{ tail -n 40 "$arm64_out/build.log" >&2; die "cross build failed"; }

	mkdir -p "$arm64_site" "$arm64_bin"
	arm64_link "$arm64_out" kestro "$arm64_site" ../
	arm64_link "$arm64_probe" _kestro_probe "$arm64_probe" ""
	ln -sfn ../../../src/lib/kestro.pyi "$arm64_site/kestro.pyi"
	ln -sfn /usr/bin/python3.13 "$arm64_bin/python"
}

# Links module $2 that CMake built in $1 into $3 (a relative link, $4 from $3
# to $1) under the root's extension suffix.
arm64_link() {
	local built
	built=$(find "$1" -maxdepth 1 -name "$2.*so" ! -name "$2$arm64_ext" -printf '%f\n' | head -n1)
	if [ -n "$built" ]; then
		ln -sfn "$4$built" "$3/$2$arm64_ext"
	elif [ ! -f "$1/$2$arm64_ext" ]; then
		die "the cross build made no $2 module"
	fi
}

arm64_prepare() {
	local need=() p
	for p in mmdebstrap:mmdebstrap g++-aarch64-linux-gnu:aarch64-linux-gnu-g++ cmake:cmake \
		ninja-build:ninja; do
		command -v "${p#*:}" >/dev/null || need+=("${p%%:*}")
	done
	"$arm64_python" -m pip --version >/dev/null 2>&1 || need+=(python3-pip)
	if [ ${#need[@]} -gt 0 ]; then
		[ "$(id -u)" -eq 0 ] || die "missing packages (${need[*]}); run once as root to install them"
		say "installing ${need[*]}"
		apt_update
		apt-get install -y -q "${need[@]}" >&2
	fi
	mkdir -p "$arm64_cache"
	if [ -n "${CANBED_REFRESH:-}" ] || [ ! -d "$arm64_root" ] || [ ! -d "$arm64_include" ]; then
		arm64_make_root
	fi
	[ -x "$arm64_root$arm64_sid/usr/bin/ip" ] || arm64_make_sid
	arm64_build
}

# Debian unstable's arm64 Python 3.14 and 3.15 in a root of their own inside the bed's root, for the smoke
# run of their wheels (tools/wheel_smoke.py): the guest enters it with tools/debian_root.sh.
arm64_sid=/srv/sid
arm64_make_sid() {
	say "unpacking Debian unstable's arm64 Python 3.14 and 3.15"
	mkdir -p "$arm64_root${arm64_sid%/*}"
	rm -rf "$arm64_root$arm64_sid.new"
	mmdebstrap --quiet --variant=extract --arch=arm64 --include=python3.14,python3.15,coreutils,bash,iproute2 \
		--aptopt='Acquire::Check-Valid-Until "false"' sid "$arm64_root$arm64_sid.new" "$arm64_mirror" >&2 ||
		die "mmdebstrap failed"
	mkdir -p "$arm64_root$arm64_sid.new/etc"
	printf 'root:x:0:0:root:/root:/bin/bash\n' >"$arm64_root$arm64_sid.new/etc/passwd"
	rm -rf "${arm64_root:?}$arm64_sid"
	mv "$arm64_root$arm64_sid.new" "$arm64_root$arm64_sid"
}

# The host's Python 3.13: CMake wants one to run (the cross build uses none of
# its files), and it fetches the pytest wheel and compiles the root's bytecode.
arm64_python=$root/.venv/bin/python
"$arm64_python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null ||
	arm64_python=$(command -v python3.13 || true)
[ -n "$arm64_python" ] || { echo "canbed: the arm64 bed needs a Python 3.13 on the host (./dev setup)" >&2; exit 125; }

# A new recipe makes a new root.
arm64_key=$(printf '%s\n' "$arm64_suite" "$arm64_mirror" $arm64_packages "$arm64_pytest_sha256" \
	"$(declare -f arm64_make_root arm64_alternatives arm64_overlay_pytest)" |
	sha256sum | cut -c1-16)
arm64_root=$arm64_cache/root-$arm64_key
arm64_include=$arm64_cache/include-$arm64_key
