#!/usr/bin/env bash
# Runs one command with `python` being a given CPython in a virtual environment that has the test dependencies
# and this tree's kestro installed: built from this tree, or a wheel given with --wheel (then in an environment
# made fresh for it). KESTRO_PROBE_DIR names the test probe module built for the same interpreter.
#
#   tools/python.sh VERSION [--wheel FILE] [--no-probe] [--] COMMAND [ARGS...]
#   tools/python.sh VERSION --enter [--] COMMAND [ARGS...]
#
# VERSION: 3.13 (the host's), 3.13t (built once from Debian 13's source, tools/freethreaded.sh), 3.14 or 3.15
# (Debian unstable's, in a cached Debian unstable root that the command then runs in, with this tree at its own
# path). --enter runs the command with what is already there, setting nothing up (as the CAN test bed does).
# Exit status: the command's; 125 when the set-up failed.
# Environment: KESTRO_CACHE (default ~/.cache/kestro) holds interpreters and roots.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=debian_root.sh
. "$ROOT/tools/debian_root.sh"
PY_PACKAGES=(pytest hypothesis python-can numpy scikit-build-core cmake ninja)
SID_PACKAGES=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv g++ libasio-dev
	ca-certificates iproute2 can-utils procps locales)

log() { printf '[python %s] %s\n' "$VERSION" "$*" >&2; }
die() { log "$*"; exit 125; }

VERSION=${1:-}
shift || true
WHEEL= PROBE=1 ENTER=
while [ $# -gt 0 ]; do
	case $1 in
	--wheel) WHEEL=$(realpath "${2:?--wheel needs a file}"); shift 2 ;;
	--no-probe) PROBE=; shift ;;
	--enter) ENTER=1; shift ;;
	--) shift; break ;;
	*) break ;;
	esac
done
[ $# -gt 0 ] || { sed -n '2,14s/^# \{0,1\}//p' "$0" >&2; exit 2; }

SID_ROOT=
case $VERSION in
3.13) ;;
3.13t)
	# The free-threaded build of 3.13 has no wheels of numpy 2.5 and later.
	PY_PACKAGES=(pytest "hypothesis<6.150" python-can "numpy<2.5" scikit-build-core cmake ninja)
	;;
3.14 | 3.15) ;;
*) echo "tools/python.sh: VERSION is one of 3.13, 3.13t, 3.14, 3.15" >&2; exit 2 ;;
esac

VENV=$ROOT/.venv-$VERSION
[ "$VERSION" = 3.13 ] && VENV=$ROOT/.venv
[ "$VERSION" = 3.13t ] && VENV=$ROOT/.venv-ft
[ -n "$WHEEL" ] && VENV=$ROOT/.venv-$VERSION-wheel
PROBE_DIR=$ROOT/build/python-$VERSION/probe

# Runs a command where the interpreter lives (the host, or the unstable root).
inside() {
	if [ -n "$SID_ROOT" ]; then
		KESTRO_ROOT_PATH=$VENV/bin debian_root_run "$SID_ROOT" "$@"
	else
		(cd "$ROOT" && PATH=$VENV/bin:$PATH "$@")
	fi
}

interpreter() {
	case $VERSION in
	3.13) "$ROOT/dev" setup >&2 && echo "$ROOT/.venv/bin/python" ;;
	3.13t) "$ROOT/tools/freethreaded.sh" --interpreter ;;
	*) echo "/usr/bin/python$VERSION" ;;
	esac
}

setup() {
	case $VERSION in 3.14 | 3.15) debian_root SID_ROOT sid "${SID_PACKAGES[@]}" || die "no Debian unstable root" ;; esac
	local py
	py=$(interpreter) || die "no interpreter"
	if [ -n "$WHEEL" ] || ! inside "$VENV/bin/python" -c 'import sys' 2>/dev/null; then
		rm -rf "$VENV"
		inside "$py" -m venv "$VENV" || die "cannot make $VENV"
	fi
	local stamp=$VENV/.kestro-deps
	if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "${PY_PACKAGES[*]}" ]; then
		log "installing Python packages: ${PY_PACKAGES[*]}"
		inside "$VENV/bin/python" -m pip install -q --upgrade pip >&2 || die "pip failed"
		# Only wheels: a new interpreter may have none of numpy yet, and the one test that uses it is skipped then.
		inside "$VENV/bin/python" -m pip install -q --only-binary=:all: "${PY_PACKAGES[@]}" >&2 ||
			inside "$VENV/bin/python" -m pip install -q --only-binary=:all: \
				$(printf '%s\n' "${PY_PACKAGES[@]}" | grep -v '^numpy') >&2 || die "pip failed"
		echo "${PY_PACKAGES[*]}" >"$stamp"
	fi
	if [ -n "$WHEEL" ]; then
		log "installing $(basename "$WHEEL")"
		inside "$VENV/bin/python" -m pip install -q --no-index --no-deps "$WHEEL" >&2 || die "cannot install $WHEEL"
	else
		log "building and installing kestro from this tree"
		inside "$VENV/bin/python" -m pip install -q --no-build-isolation . >&2 || die "cannot build kestro"
	fi
	if [ -n "$PROBE" ]; then
		log "building the test probe module"
		inside bash -c 'cmake -S . -B "$1" -G Ninja -DKESTRO_BUILD_PROBE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
			-DPython_EXECUTABLE="$2" >/dev/null && cmake --build "$1" --target _kestro_probe >/dev/null' _ \
			"${PROBE_DIR%/probe}" "$VENV/bin/python" >&2 || die "cannot build the probe module"
	fi
}

if [ -n "$ENTER" ]; then
	case $VERSION in 3.14 | 3.15) SID_ROOT=$(ls -d "$debian_cache"/root-sid-* | head -n1) ;; esac
else
	setup
fi
export VIRTUAL_ENV=$VENV KESTRO_ROOT_PATH=$VENV/bin
[ -n "$PROBE" ] && [ -d "$PROBE_DIR" ] && export KESTRO_PROBE_DIR=$PROBE_DIR
if [ -n "$SID_ROOT" ]; then
	exec bash -c '. "$0/tools/debian_root.sh" && debian_root_run "$@"' "$ROOT" "$SID_ROOT" "$@"
fi
export PATH=$VENV/bin:$PATH
cd "$ROOT"
exec "$@"
