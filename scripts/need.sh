# Installs the Debian packages given as arguments that are not installed yet.
# Sourced by the other scripts; apt-get runs only when something is missing.
need() {
	missing=
	for pkg in "$@"; do
		dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
			missing="$missing $pkg"
	done
	[ -z "$missing" ] && return 0
	echo "installing:$missing" >&2
	sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	$sudo apt-get update -qq
	DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}
