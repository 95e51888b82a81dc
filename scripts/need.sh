# Makes sure the tools given as arguments are there; sourced by the other
# scripts. An argument is COMMANDS=PACKAGE, where COMMANDS names one command
# or several separated by "|" (any of them will do), or a PACKAGE alone for
# what has no command (a library, sources). PACKAGE is Debian's name for it.
# Where apt-get is, what is missing is installed; elsewhere the missing
# commands are named and the calling script ends. A package alone is
# checked only where dpkg-query is; elsewhere the build looks for it.
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
	echo "installing:$missing" >&2
	local sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	# Once for a run, whichever of the scripts asks first.
	if [ -z "${TREESTAMP_APT_UPDATED:-}" ]; then
		$sudo apt-get update -qq
		export TREESTAMP_APT_UPDATED=1
	fi
	DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# True when one of the commands separated by "|" in $1 is on the PATH.
have_command() {
	local IFS='|' c
	for c in $1; do
		command -v "$c" >/dev/null && return 0
	done
	return 1
}
