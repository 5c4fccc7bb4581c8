#!/usr/bin/env bash
# watchdog.exe under Wine in a terminal (a tmux pane), as a user runs it, in
# a folder holding the stand-in gorsebright.exe. Once the first recovery has
# relaunched the stand-in, Ctrl+C in that terminal must end the watchdog and
# leave the relaunched program running. Run through wine.sh, which gives it a
# Wine prefix and a scratch TMPDIR of its own and removes both.
# Usage: wine.sh wine_console.sh BUILD_DIR (the Windows build); exits 77
# (skipped) where tmux is missing.
set -u
build=$1
command -v tmux >/dev/null || { echo "wine_console.sh: no tmux here" >&2; exit 77; }
scratch=$(mktemp -d)
terminal() { tmux -S "$scratch/tmux" "$@"; }
trap 'terminal kill-server 2>/dev/null' EXIT
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
