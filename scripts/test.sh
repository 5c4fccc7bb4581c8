#!/usr/bin/env bash
# Installs what is missing, builds for Linux and for Windows (scripts/windows.sh),
# prepares the container tree of the live systemd test (scripts/systemd-tree.sh),
# and runs every test: the Linux suite in build/, then the Windows suite under
# Wine in build-windows/. Arguments go to both ctest runs (e.g. -LE slow).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages
build_all
bash "$root/scripts/windows.sh"
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
if ! kill -0 "$bystander_pid" 2>/dev/null; then
    echo "FAILED: a gorsebright.exe that no test started was killed" >&2
    status=1
fi
exit "$status"
