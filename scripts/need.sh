# Makes sure the tools given as arguments are there; sourced by the other
# scripts. An argument is COMMANDS=PACKAGE, where COMMANDS names one command
# or several separated by "|" (any of them will do), or a PACKAGE alone for
# what has no command (a library, sources). PACKAGE is Debian's name for it.
# Where apt-get is and this user can install (as root, or through sudo),
# what is missing is installed; elsewhere it is named, with what installs
# it, and the calling script ends. A package alone is checked only where
# dpkg-query is; elsewhere the build looks for it.

# The system's own programs (mkfs.xfs, say) are where a user's PATH may not look.
PATH=$PATH:/usr/sbin:/sbin

need() {
	local arg cmds pkg missing= names=
	for arg in "$@"; do
		case $arg in
		*=*) cmds=${arg%%=*} pkg=${arg#*=}
			have_command "$cmds" && continue
			names="$names, $(echo "$cmds" | sed 's/|/ or /g')" ;;
		*) pkg=$arg
			command -v dpkg-query >/dev/null || continue
			dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' && continue
			names="$names, $pkg" ;;
		esac
		case " $missing " in *" $pkg "*) ;; *) missing="$missing $pkg" ;; esac
	done
	[ -z "$missing" ] && return 0
	if ! command -v apt-get >/dev/null; then
		echo "missing: ${names#, }" >&2
		echo "install them with this system's package manager (Debian's packages:$missing)" >&2
		exit 1
	fi
	local sudo=
	if [ "$(id -u)" -ne 0 ]; then
		# sudo may ask for a password, which only a terminal can give it.
		if command -v sudo >/dev/null && { sudo -n true 2>/dev/null || [ -t 0 ]; }; then
			sudo=sudo
		else
			echo "missing: ${names#, }" >&2
			echo "this user cannot install them; as root: apt-get install$missing" >&2
			exit 1
		fi
	fi
	echo "installing:$missing" >&2
	# The package lists are refreshed once a run, whichever of the scripts
	# asks first.
	if { [ -n "${TREESTAMP_APT_UPDATED:-}" ] || $sudo apt-get update -qq; } &&
		$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
		export TREESTAMP_APT_UPDATED=1
		return 0
	fi
	echo "could not install:$missing (as root: apt-get install$missing)" >&2
	exit 1
}

# True when one of the commands separated by "|" in $1 is on the PATH.
have_command() {
	local IFS='|' c
	for c in $1; do
		command -v "$c" >/dev/null && return 0
	done
	return 1
}
