# Sourced. Installs the host's Debian packages that are missing, once each, with one `apt-get update` per
# process; as a user other than root it goes through sudo.
#
#   host_install PACKAGE...
# shellcheck shell=bash

host_apt_updated=

host_install() {
	local missing=() p sudo=()
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	printf '[host] installing %s\n' "${missing[*]}" >&2
	[ "$(id -u)" -ne 0 ] && sudo=(sudo)
	if [ -z "$host_apt_updated" ]; then
		"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
		host_apt_updated=1
	fi
	"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
