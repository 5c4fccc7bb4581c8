#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage from a copy of the source
# tree (the tree itself stays clean) and judges it with lintian, which fails
# on any error, warning or pedantic tag that debian/ does not override.
# Leaves the .deb files, .buildinfo and .changes in OUT_DIR (default
# build/package). With SUITE (bookworm or trixie) other than the host's, it
# builds and judges inside a container of that release, from
# scripts/systemd-tree.sh's tree with the build dependencies, under an overlay
# that leaves the tree as it was; run as root then.
# Usage: package.sh [OUT_DIR [SUITE]]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
out=$(mkdir -p "${1:-$build/package}" && cd "${1:-$build/package}" && pwd)
suite=${2:-$(host_suite)}

# Runs the rest of the line in $out, on the host or in the suite's container.
in_release() {
    if [ "$suite" = "$(host_suite)" ]; then
        (cd "$out" && "$@")
    else
        systemd-nspawn --quiet --register=no --keep-unit --private-network --volatile=overlay --console=pipe \
            -D "$tree" --bind="$out:/build" --chdir=/build -E LC_ALL=C.UTF-8 -- "$@" </dev/null
    fi
}
if [ "$suite" != "$(host_suite)" ]; then
    # Exit status 77: a test skips what it cannot run.
    [ "$(id -u)" -eq 0 ] || { echo "package.sh: a package for $suite is built in a container, as root"; exit 77; }
    tree=$(bash "$root/scripts/systemd-tree.sh" "$suite")
fi

rm -rf "${out:?}"/*
copy_source_tree "$out/src"
# A package that does not build prints why; one that does, only its name.
in_release sh -c 'cd src && dpkg-buildpackage -b -us -uc' >"$out/build.log" 2>&1 ||
    { tail -40 "$out/build.log" >&2; echo "package.sh: dpkg-buildpackage failed" >&2; exit 1; }
rm -rf "$out/src"
deb=$(cd "$out" && ls gorsebright-watchdog_*.deb)
in_release lintian --pedantic --fail-on error,warning,pedantic "$deb"
echo "$out/$deb"
