#!/usr/bin/env bash
# The free-threaded interpreter: builds CPython 3.13t (--disable-gil) once from Debian 13's python3.13 source,
# caches it outside the tree and prints its path. tools/python.sh 3.13t (./dev freethreaded) makes the
# environment with kestro in it.
#
#   tools/freethreaded.sh --interpreter
#
# Environment: KESTRO_CACHE (default ~/.cache/kestro) holds the source download and the built interpreter.
set -euo pipefail

CACHE="${KESTRO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro}/python3.13t"
PREFIX="$CACHE/prefix"
BUILD_PACKAGES=(gcc make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev liblzma-dev libbz2-dev libsqlite3-dev)

# shellcheck source=tools/host_packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/host_packages.sh"

log() { printf '[freethreaded] %s\n' "$*" >&2; }


# Downloads Debian 13's python3.13 source with a private apt state, so the host's sources stay as they are.
fetch_source() {
  local apt_dir="$CACHE/apt"
  mkdir -p "$apt_dir/lists/partial" "$CACHE/src"
  cat >"$apt_dir/trixie-src.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local apt=(apt-get -q -o "Dir::Etc::SourceList=$apt_dir/trixie-src.sources" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt_dir/lists" -o APT::Sandbox::User=root)
  log "downloading Debian 13's python3.13 source"
  "${apt[@]}" update >/dev/null
  (cd "$CACHE/src" && "${apt[@]}" source --download-only python3.13 >/dev/null)
}

build_interpreter() {
  host_install "${BUILD_PACKAGES[@]}"
  local orig
  orig=$(ls "$CACHE"/src/python3.13_*.orig.tar.xz 2>/dev/null | tail -n1) || true
  if [ -z "$orig" ]; then
    fetch_source
    orig=$(ls "$CACHE"/src/python3.13_*.orig.tar.xz | tail -n1)
  fi
  local work="$CACHE/work"
  rm -rf "$work" "$PREFIX"
  mkdir -p "$work"
  tar -xJf "$orig" -C "$work" --strip-components=1
  log "building CPython $(basename "$orig" .orig.tar.xz | cut -d_ -f2) with --disable-gil (a few minutes, once)"
  (
    cd "$work"
    ./configure -q --disable-gil --prefix="$PREFIX" --with-ensurepip=install >/dev/null
    make -s -j "$(nproc)" >/dev/null 2>"$CACHE/build.log" || { tail -n 30 "$CACHE/build.log" >&2; exit 1; }
    make -s install >/dev/null 2>>"$CACHE/build.log"
  )
  rm -rf "$work"
}

ensure_interpreter() {
  mkdir -p "$CACHE"
  exec 8>"$CACHE/.lock"
  flock 8
  if ! "$PREFIX/bin/python3.13t" -c 'import sys, ssl; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
    build_interpreter
  fi
  exec 8>&-
}

[ "${1:-}" = "--interpreter" ] || { sed -n '2,6s/^# \{0,1\}//p' "$0" >&2; exit 2; }
ensure_interpreter
echo "$PREFIX/bin/python3.13t"
