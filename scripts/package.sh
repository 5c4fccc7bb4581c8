#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage from a copy of the source
# tree (the tree itself stays clean) and judges it with lintian, which fails
# on any error, warning or pedantic tag that debian/ does not override.
# Leaves the .deb files, .buildinfo and .changes in OUT_DIR (default
# build/package). Usage: package.sh [OUT_DIR]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
out=$(mkdir -p "${1:-$build/package}" && cd "${1:-$build/package}" && pwd)

rm -rf "${out:?}"/*
copy_source_tree "$out/src"
# A package that does not build prints why; one that does, only its name.
(cd "$out/src" && dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1 ||
    { tail -40 "$out/build.log" >&2; echo "package.sh: dpkg-buildpackage failed" >&2; exit 1; }
rm -rf "$out/src"
deb=$(ls "$out"/gorsebright-watchdog_*.deb)
lintian --pedantic --fail-on error,warning,pedantic "$deb"
echo "$deb"
