# Shared by the scripts here: installs what the build needs, then builds.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

# The host's Debian release by its code name (bookworm, trixie).
host_suite() {
    (. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
}

# Debian packages that build_all needs (the compiler, cmake and make, Qt, and
# dpkg-buildflags), and that the Debian package's build, its lintian check and
# its tests need too; the scripts that source this pass them on.
# shellcheck disable=SC2034
build_packages=(g++ cmake make qtbase5-dev dpkg-dev)
package_packages=(procps build-essential debhelper lintian systemd pkgconf)
# Debian 13 keeps systemd's pkg-config file, which debian/rules reads, apart.
[ "$(host_suite)" = bookworm ] || package_packages+=(systemd-dev)

# Arguments: every Debian package the caller needs. Installs the missing ones
# and says so in one line; apt's output goes to a log, named only on failure.
install_missing_packages() {
    local package missing=() log
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}; install them as root (apt-get install)." >&2
        exit 1
    fi
    echo "== Installing the missing Debian packages: ${missing[*]}"
    log=$(mktemp "${TMPDIR:-/tmp}/watchdog-apt.XXXXXX.log")
    if ! { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"; } \
        >"$log" 2>&1; then
        tail -20 "$log" >&2
        echo "Installing Debian packages failed; apt-get's output is in $log" >&2
        exit 1
    fi
    rm -f "$log"
}

# Copies the source tree, without .git and the build trees, into $1, for a
# build elsewhere that leaves this tree as it is.
copy_source_tree() {
    mkdir -p "$1"
    tar -C "$root" --exclude=./.git --exclude=./build --exclude='./build-*' --exclude='./obj-*' -cf - . |
        tar -C "$1" -xf -
}

# Arguments: the build folder (default build/), then more cmake arguments.
build_all() {
    local dir=${1:-$build}
    # With the flags Debian's packages are built with, hardening included, so
    # that the tests run the program as the package ships it. CMake reads the
    # environment's flags when it first configures a tree.
    (
        eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
        export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
        cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${@:2}"
    )
    cmake --build "$dir" -j "$(nproc)"
}
