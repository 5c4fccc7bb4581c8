#!/usr/bin/env bash
# watchdog.exe under Wine in a terminal (a tmux pane), as a user runs it, in
# a Wine prefix of its own and a folder holding the stand-in gorsebright.exe.
# Once the first recovery has relaunched the stand-in, Ctrl+C in that
# terminal must end the watchdog and leave the relaunched program running.
# Usage: wine_console.sh BUILD_DIR (the Windows build); exits 77 (skipped)
# where Wine or tmux is missing.
set -u
build=$1
for tool in wine wineserver tmux; do
    command -v "$tool" >/dev/null || { echo "wine_console.sh: no $tool here" >&2; exit 77; }
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/watchdog-console.XXXXXX")
# The wineserver makes its socket folder in TMPDIR and leaves it there.
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    TMPDIR="$scratch"
terminal() { tmux -S "$scratch/tmux" "$@"; }
finish() {
    terminal kill-server 2>/dev/null
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 143' TERM INT
fail() {
    echo "FAILED: $*" >&2
    terminal capture-pane -p -t watchdog 2>/dev/null | grep -v '^$' >&2
    exit 1
}
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

wineboot -i >"$scratch/wineboot.log" 2>&1 || { cat "$scratch/wineboot.log" >&2; exit 1; }
app="$scratch/app"
mkdir "$app"
cp "$build/watchdog.exe" "$build/standin/gorsebright.exe" "$app/"
terminal -f /dev/null new-session -d -s watchdog -x 120 -y 40 \
    "cd '$app' && wine watchdog.exe; echo \$? >'$scratch/ended'; sleep infinity"

# The relaunch comes with the second pass, 40 s after the first.
relaunched() { [ -e "$app/is_run.txt" ]; }
wait_for 120 relaunched || fail "no relaunched gorsebright.exe"
terminal send-keys -t watchdog C-c
wait_for 20 test -e "$scratch/ended" || fail "Ctrl+C did not end the watchdog"
stamp=$(stat -c %y "$app/is_run.txt")
refreshed() { [ "$(stat -c %y "$app/is_run.txt")" != "$stamp" ]; }
wait_for 20 refreshed || fail "the relaunched gorsebright.exe ended with the watchdog"
echo "Ctrl+C ended the watchdog (status $(cat "$scratch/ended")); the relaunched program runs on"
