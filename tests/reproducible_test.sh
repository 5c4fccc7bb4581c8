#!/usr/bin/env bash
# Builds the Windows release a second time, from a copy of the source tree in
# another folder into another build folder, and compares its gorsebright-watchdog.exe and
# zip with the Windows build's, byte for byte. Usage: reproducible_test.sh BUILD_DIR
source "$(dirname "$0")/../scripts/common.sh"
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

copy_source_tree "$work/src"
{
    cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$(cached CMAKE_TOOLCHAIN_FILE)" \
        -DCMAKE_PREFIX_PATH="$(cached CMAKE_PREFIX_PATH)" -DWATCHDOG_LICENSES_DIR="$(cached WATCHDOG_LICENSES_DIR)" \
        -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" -DBUILD_TESTING=OFF &&
        cmake --build "$work/build" -j 2 && (cd "$work/build" && cpack)
} >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }

status=0
for file in gorsebright-watchdog.exe "$(basename "$(ls "$build"/watchdog-*-win*.zip)")"; do
    if ! cmp "$build/$file" "$work/build/$file"; then
        cmp -l "$build/$file" "$work/build/$file" | head -5
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "two builds, identical: gorsebright-watchdog.exe $(sha256sum <"$build/gorsebright-watchdog.exe" | cut -c1-16)…"
exit "$status"
