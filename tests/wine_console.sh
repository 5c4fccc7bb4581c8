#!/usr/bin/env bash
# The release zip under Wine, as a Windows user runs it: unpacked into a folder
# whose path has Cyrillic letters and a space, beside the stand-in
# gorsebright.exe, and started by its start script from another folder, in a
# terminal (a tmux pane) whose console code page is a Russian Windows' 866
# (LC_ALL=ru_RU.UTF-8). The terminal must show the Russian text, and the first
# recovery must relaunch the stand-in in that folder with "crash_restore".
# Then Ctrl+C in that terminal must end the watchdog and leave the relaunched
# program running. Run through wine.sh, which gives it a Wine prefix and a
# scratch TMPDIR of its own and removes both.
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

app="$scratch/Горсбрайт тест"
mkdir "$app" "$scratch/elsewhere"
(cd "$app" && cmake -E tar xf "$(ls "$build"/watchdog-*-win64.zip)") || fail "cannot unpack the zip"
cp "$build/standin/gorsebright.exe" "$app/"
cat >"$scratch/run.sh" <<EOF
cd "$scratch/elsewhere" && LC_ALL=ru_RU.UTF-8 wine cmd /c "$(winepath -w "$app/start-watchdog.cmd")"
echo \$? >"$scratch/ended"
sleep infinity
EOF
terminal -f /dev/null new-session -d -s watchdog -x 120 -y 40 "bash '$scratch/run.sh'"

# Wine's console draws some spaces as cursor moves: the pane's text, not the
# bytes written, is what the user sees.
shows() { terminal capture-pane -p -t watchdog | grep -q -F "$1"; }
wait_for 90 shows "Первый запуск, ждем 40 сек" || fail "the terminal shows no Russian first pass"
shows "=== Программа восстанавливает Gorsebright в случае зависания ===" || fail "no Russian banner"
# The relaunch comes with the second pass, 40 s after the first.
relaunched() { [ -e "$app/is_run.txt" ]; }
wait_for 120 relaunched || fail "no relaunched gorsebright.exe in the unpacked folder"
wait_for 20 shows 'arguments: "crash_restore"' || fail "the stand-in was not started with crash_restore"
terminal send-keys -t watchdog C-c
wait_for 20 test -e "$scratch/ended" || fail "Ctrl+C did not end the watchdog"
stamp=$(stat -c %y "$app/is_run.txt")
refreshed() { [ "$(stat -c %y "$app/is_run.txt")" != "$stamp" ]; }
wait_for 20 refreshed || fail "the relaunched gorsebright.exe ended with the watchdog"
echo "Ctrl+C ended the watchdog (status $(cat "$scratch/ended")); the relaunched program runs on"
