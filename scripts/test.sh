#!/usr/bin/env bash
# Installs what is missing, builds for Linux (also against Qt 6, in
# build-qt6/) and for 64-bit and 32-bit Windows (scripts/windows.sh, into
# build-windows/ and build-windows-i686/), prepares the container trees of
# the live systemd tests (scripts/systemd-tree.sh), and runs every test: the
# Linux suite in build/, the Windows suite under Wine in build-windows/, its
# fast tests under 32-bit Wine in build-windows-i686/, then the fast Linux
# suite in build-qt6/. Arguments go to every ctest run (e.g. -LE slow).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages "${build_packages[@]}" "${package_packages[@]}" qt6-base-dev qt6-5compat-dev
build_all
build_all "$root/build-qt6" -DWATCHDOG_QT_MAJOR=6
bash "$root/scripts/windows.sh"
bash "$root/scripts/windows.sh" --arch i686
# The container trees for the live systemd tests, which are skipped without
# root; on Debian 12 also Debian 13's, in which its package is built.
if [ "$(id -u)" -eq 0 ]; then
    bash "$root/scripts/systemd-tree.sh" >/dev/null
    [ "$(host_suite)" != bookworm ] || bash "$root/scripts/systemd-tree.sh" trixie >/dev/null
fi

# A gorsebright.exe that no test started, which every test must leave alone.
bystander=$(mktemp -d)
cp /bin/sleep "$bystander/gorsebright.exe"
"$bystander/gorsebright.exe" infinity &
bystander_pid=$!
trap 'kill "$bystander_pid" 2>/dev/null; rm -rf "$bystander"' EXIT

status=0
for tree in "$build" "$root/build-windows"; do
    echo "== Tests in ${tree#"$root"/}"
    (cd "$tree" && ctest --output-on-failure -j 2 "$@") || status=1
done
# 32-bit Windows: the fast tests; the slow ones would wait for the same
# second passes as in build-windows/.
echo "== Tests in build-windows-i686 (32-bit Wine, fast ones)"
# A kernel built without 32-bit support runs no 32-bit Wine: tests/wine.sh
# then skips them.
wine32_loader="$(dirname "$(readlink -f "$(command -v wineserver)")")/wine"
"$wine32_loader" --version >/dev/null 2>&1 ||
    echo "   32-bit Wine does not run on this machine (its kernel runs no 32-bit programs): skipped"
(cd "$root/build-windows-i686" && ctest --output-on-failure -j 2 -LE slow "$@") || status=1
# Qt 6: the package is Qt 5's, and each slow test only waits longer.
echo "== Tests in build-qt6 (Qt 6, fast ones)"
(cd "$root/build-qt6" && ctest --output-on-failure -j 2 -LE 'slow|package' "$@") || status=1
if ! kill -0 "$bystander_pid" 2>/dev/null; then
    echo "FAILED: a gorsebright.exe that no test started was killed" >&2
    status=1
fi
exit "$status"
