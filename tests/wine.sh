#!/usr/bin/env bash
# Runs a Windows test program (and its arguments) under Wine, or a test script
# that runs Windows programs, in a Wine prefix of its own that is removed
# afterwards: the watchdogs, stand-ins and named kernel objects it makes live
# in that prefix's wineserver, apart from any other. Without a console QtTest
# writes its results to the debugger output, so they go to a file and are
# shown afterwards. Exits 77 (skipped) where Wine is missing.
set -u
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    echo "wine.sh: no Wine here (scripts/windows.sh installs it)" >&2
    exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/watchdog-wine.XXXXXX")
# Wine marks the prefix as the tests' own; no Mono or Gecko is needed. The
# scripts run here keep their scratch files in TMPDIR.
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    WATCHDOG_TEST_PRIVATE_PREFIX=1 TMPDIR="$scratch"
# Debian 13's Wine 10 aborts at every start ("free(): invalid pointer") when
# TMPDIR is set and /run/user/UID is missing, as outside a login session
# (its patch for the server's folder frees getenv's string). Wine's commands
# run without TMPDIR, through stand-ins first on PATH. Its server then keeps
# its socket folder under /tmp, named in $WINEPREFIX/wineserver, which is
# removed at the end (in a login session under /run/user/UID/wine, which
# goes with the session).
mkdir "$scratch/bin"
for tool in wine wineboot wineserver winepath; do
    printf '#!/bin/sh\nexec env -u TMPDIR %s "$@"\n' "$(command -v "$tool")" >"$scratch/bin/$tool"
    chmod +x "$scratch/bin/$tool"
done
# With Wine's 32-bit half installed too, Debian's wine, wineboot and
# winepath run Wine's programs (cmd, reg, taskkill) as 32-bit ones: a 32-bit
# taskkill finds no 64-bit program by name, and a kernel without 32-bit
# support runs none at all. In a 64-bit prefix they run as 64-bit ones.
loaders="$(dirname "$(readlink -f "$(command -v wineserver)")")"
if [ "${WINEARCH:-win64}" != win32 ] && [ -x "$loaders/wine64" ]; then
    for program in "" wineboot.exe winepath.exe; do
        tool=${program%.exe}
        printf '#!/bin/sh\nexec env -u TMPDIR WINELOADER=%s %s %s "$@"\n' "$loaders/wine64" \
            "$loaders/wine64" "$program" >"$scratch/bin/${tool:-wine}"
    done
elif ! "$loaders/wine" --version >/dev/null 2>&1; then
    echo "wine.sh: 32-bit Wine does not run on this machine (a kernel without 32-bit support?)" >&2
    rm -rf "$scratch"
    exit 77
fi
PATH="$scratch/bin:$PATH"
finish() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    server=$(cat "$WINEPREFIX/wineserver" 2>/dev/null)
    case $server in wine-??????) rm -rf "/tmp/$server" ;; esac
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 143' TERM INT

wineboot -i >"$scratch/wineboot.log" 2>&1 || { cat "$scratch/wineboot.log" >&2; exit 1; }
program=$1
shift
case $program in
*.exe)
    # Z: is the Linux root in every new prefix.
    wine "$program" -o "Z:$scratch/results.txt,txt" "$@"
    status=$?
    cat "$scratch/results.txt" 2>/dev/null || echo "wine.sh: $program wrote no results (status $status)"
    ;;
*) # a script that runs Windows programs itself, in this prefix
    "$program" "$@"
    status=$?
    ;;
esac
exit "$status"
