# Makes sure the tools given as arguments are there; sourced by the other
# scripts. An argument is COMMANDS=PACKAGE, where COMMANDS names one command
# or several separated by "|" (any of them will do), or a PACKAGE alone for
# what has no command (a library, sources). PACKAGE is Debian's name for it.
# Where apt-get is and this user can install (as root, or through sudo),
# what is missing is installed; elsewhere it is named, with what installs
# it. A package alone is checked only where dpkg-query is; elsewhere the
# build looks for it.

# The system's own programs (mkfs.xfs, say) are where a user's PATH may not look.
PATH=$PATH:/usr/sbin:/sbin

# Sets lacking to the packages of the arguments that are not there, and
# lacking_names to what is missing, in words; true when nothing is.
check_needs() {
	local arg cmds pkg
	lacking= lacking_names=
	for arg in "$@"; do
		case $arg in
		*=*) cmds=${arg%%=*} pkg=${arg#*=}
			have_command "$cmds" && continue
			cmds=$(echo "$cmds" | sed 's/|/ or /g') ;;
		*) pkg=$arg cmds=$arg
			command -v dpkg-query >/dev/null || continue
			dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' && continue ;;
		esac
		case " $lacking_names, " in *" $cmds, "*) ;; *) lacking_names="${lacking_names:+$lacking_names, }$cmds" ;; esac
		case " $lacking " in *" $pkg "*) ;; *) lacking="${lacking:+$lacking }$pkg" ;; esac
	done
	[ -z "$lacking" ]
}

# The command that installs the packages $@ on this system, in words.
install_command() {
	if command -v apt-get >/dev/null; then
		echo "as root: apt-get update && apt-get install --no-install-recommends $*"
	else
		echo "with this system's package manager (Debian's packages: $*)"
	fi
}

# True when this user may install packages: apt-get is there, and the user
# is root or may use sudo (which may ask for a password, which only a
# terminal can give it). Sets sudo to what runs apt-get.
can_install() {
	sudo=
	command -v apt-get >/dev/null || return 1
	[ "$(id -u)" -eq 0 ] && return 0
	command -v sudo >/dev/null && { sudo -n true 2>/dev/null || [ -t 0 ]; } || return 1
	sudo=sudo
}

# Installs the Debian packages $@, saying so first, since it may take
# minutes; false, saying why, when it cannot.
install_packages() {
	if ! can_install; then
		echo "this user cannot install them; $(install_command "$@")" >&2
		return 1
	fi
	echo "installing: $* (apt-get; this may take a few minutes)" >&2
	# The package lists are refreshed once a run, whichever of the scripts
	# asks first.
	local start
	start=$(date +%s)
	if { [ -n "${TREESTAMP_APT_UPDATED:-}" ] || $sudo apt-get update -qq; } &&
		$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null; then
		export TREESTAMP_APT_UPDATED=1
		echo "installed in $(($(date +%s) - start)) s" >&2
		return 0
	fi
	echo "could not install: $* ($(install_command "$@"))" >&2
	return 1
}

# Installs what of the arguments is missing, or names it and ends the
# calling script.
need() {
	check_needs "$@" && return 0
	echo "missing: $lacking_names" >&2
	install_packages $lacking || exit 1
}

# True when one of the commands separated by "|" in $1 is on the PATH.
have_command() {
	local IFS='|' c
	for c in $1; do
		command -v "$c" >/dev/null && return 0
	done
	return 1
}
