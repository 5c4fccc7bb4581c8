#!/usr/bin/env bash
# Makes sure a minimal Debian tree of SUITE (bookworm or trixie; default the
# host's own) that boots systemd in a container exists, and prints its path.
# It holds systemd, dbus, procps and the package's dependencies, so the
# package installs in it without the network. The host's own suite gets a tree
# for the package built on the host, keyed also by the host's Qt version; the
# other suite's tree also holds the package's build dependencies and lintian,
# for building the package inside it (scripts/package.sh). Installs mmdebstrap
# and systemd-nspawn when missing; builds each tree once (a minute or two for
# the host's suite, some 260 MB; a few minutes with the build dependencies)
# into $WATCHDOG_SYSTEMD_TREES (default /var/cache/watchdog-systemd-tree),
# keyed by its package list. The tree itself is never booted or changed: each
# use works on a copy or an overlay. Run as root on Debian 12 or 13.
# Usage: systemd-tree.sh [SUITE]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages "${build_packages[@]}" "${package_packages[@]}" mmdebstrap systemd-container >&2

suite=${1:-$(host_suite)}
trees="${WATCHDOG_SYSTEMD_TREES:-/var/cache/watchdog-systemd-tree}"
# Debian 13 renamed the Qt library for its 64-bit time_t, and moved systemd's
# pkg-config file, which debian/rules reads, to systemd-dev.
case "$suite" in
bookworm) release=12 qt_library=libqt5core5a systemd_pc=systemd ;;
trixie) release=13 qt_library=libqt5core5t64 systemd_pc=systemd-dev ;;
*) echo "systemd-tree.sh: no tree for suite '$suite' (bookworm or trixie)" >&2; exit 1 ;;
esac
include=systemd,systemd-sysv,dbus,procps,$qt_library
if [ "$suite" = "$(host_suite)" ]; then
    # The package built here depends on at least the host's Qt.
    qt_version=$(dpkg-query -W -f='${Version}' "$qt_library")
else
    # debian/control's Build-Depends, and lintian to judge the result.
    include+=,build-essential,debhelper,cmake,qtbase5-dev,pkgconf,$systemd_pc,lintian
    qt_version=
fi
key=$(printf '%s\n' "$include" "$qt_version" | sha256sum | cut -c 1-12)
tree="$trees/$suite-$key"

mkdir -p "$trees"
exec 9>>"$trees/.lock"
flock 9
if [ ! -e "$tree.complete" ]; then
    echo "== Building a minimal Debian $release tree with systemd in $tree (once)" >&2
    rm -rf "$tree"
    mmdebstrap --variant=minbase --include="$include" "$suite" "$tree" >"$trees/build.log" 2>&1 ||
        { tail -20 "$trees/build.log" >&2; echo "systemd-tree.sh: mmdebstrap failed" >&2; exit 1; }
    date -u '+%Y-%m-%d %H:%M:%S UTC' >"$tree.complete"
fi
echo "$tree"
