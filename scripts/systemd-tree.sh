#!/usr/bin/env bash
# Makes sure a minimal Debian 12 tree that boots systemd in a container exists,
# and prints its path. It holds systemd, dbus, procps and the package's
# dependencies, so the package installs in it without the network. Installs
# mmdebstrap and systemd-nspawn when missing; builds the tree (under a minute
# or two, some 260 MB) once into $WATCHDOG_SYSTEMD_TREES (default
# /var/cache/watchdog-systemd-tree), keyed by its package list and the host's
# Qt version. The tree itself is never booted: each test boots a copy.
# Run as root on Debian 12.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages mmdebstrap systemd-container >&2

trees="${WATCHDOG_SYSTEMD_TREES:-/var/cache/watchdog-systemd-tree}"
qt_version=$(dpkg-query -W -f='${Version}' libqt5core5a)
include=systemd,systemd-sysv,dbus,procps,libqt5core5a
key=$(printf '%s\n' "$include" "$qt_version" | sha256sum | cut -c 1-12)
tree="$trees/bookworm-$key"

mkdir -p "$trees"
exec 9>>"$trees/.lock"
flock 9
if [ ! -e "$tree.complete" ]; then
    echo "== Building a minimal Debian 12 tree with systemd in $tree (once)" >&2
    rm -rf "$tree"
    mmdebstrap --variant=minbase --include="$include" bookworm "$tree" >"$trees/build.log" 2>&1 ||
        { tail -20 "$trees/build.log" >&2; echo "systemd-tree.sh: mmdebstrap failed" >&2; exit 1; }
    date -u '+%Y-%m-%d %H:%M:%S UTC' >"$tree.complete"
fi
echo "$tree"
