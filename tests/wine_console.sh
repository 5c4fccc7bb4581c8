#!/usr/bin/env bash
# The release zip under Wine, as a Windows user runs it: unpacked into a
# folder whose path has Cyrillic letters, a space and a "!", beside the
# stand-in gorsebright.exe, and started by its start script from another
# folder, with delayed expansion on, in a terminal (a tmux pane) whose console
# code page is a Russian Windows' 866 (LC_ALL=ru_RU.UTF-8). The terminal must
# show the Russian text and the script's title, and the first recovery must
# relaunch the stand-in in that folder with "crash_restore", with a console of
# its own; a second start of the script meanwhile must say why it ended and
# wait for a key. Then Ctrl+C in the first terminal must end the watchdog and
# leave the relaunched program running, and Ctrl+C on the program's own
# console must reach it; a watchdog started by hand in the subfolder must name
# that folder legibly. Meanwhile, in other terminals: the zip unpacked into a subfolder,
# as Explorer's "Extract All" does, whose start script must refuse and wait
# for a key; and the console writer with the C runtime's locale at "C"
# (tst_supervision consoleText). Last, the logon start: added (enabled again
# where Task Manager marked it disabled), run by wineboot as Wine runs logon
# entries, and removed; and refused for a folder too long for it. Run through
# wine.sh, which gives it a Wine prefix and a scratch TMPDIR of its own and
# removes both.
# Usage: wine.sh wine_console.sh BUILD_DIR (the Windows build); exits 77
# (skipped) where tmux is missing.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/support/support.sh"
build=$1
command -v tmux >/dev/null || { echo "wine_console.sh: no tmux here" >&2; exit 77; }
scratch=$(mktemp -d)
terminal() { tmux -S "$scratch/tmux" "$@"; }
trap 'terminal kill-server 2>/dev/null' EXIT
# What fail shows: every terminal's text.
on_failure() {
    for pane in watchdog refused second writer stray; do
        echo "-- terminal $pane:" >&2
        terminal capture-pane -p -t "$pane" 2>/dev/null | grep -v '^$' >&2
    done
}

app="$scratch/Горсбрайт тест!"
subfolder="$app/watchdog-win64"
mkdir "$app" "$subfolder" "$scratch/elsewhere"
zip=$(ls "$build"/watchdog-*-win*.zip)
(cd "$app" && cmake -E tar xf "$zip" && cd "$subfolder" && cmake -E tar xf "$zip") ||
    fail "cannot unpack the zip"
cp "$build/standin/gorsebright.exe" "$app/"
# Runs a command line in a new terminal named $1; its status goes to $1.ended.
run_in_terminal() {
    local name=$1
    shift
    printf '%s\necho $? >"%s"\nsleep infinity\n' "$*" "$scratch/$name.ended" >"$scratch/$name.sh"
    terminal -f /dev/null new-session -d -s "$name" -x 120 -y 40 "bash '$scratch/$name.sh'"
}
run_in_terminal watchdog "cd '$scratch/elsewhere' && LC_ALL=ru_RU.UTF-8 wine cmd /v:on /c '$(winepath -w "$app/start-watchdog.cmd")'"
run_in_terminal refused "cd '$scratch/elsewhere' && wine cmd /c '$(winepath -w "$subfolder/start-watchdog.cmd")'"
run_in_terminal writer "LC_ALL=ru_RU.UTF-8 wine '$build/tests/tst_supervision.exe' consoleText -o 'Z:$scratch/writer.txt,txt'"

# Wine's console draws some spaces as cursor moves: the pane's text, not the
# bytes written, is what the user sees.
# Wine's console breaks a long line where the terminal ends: lines are joined.
shows() { terminal capture-pane -p -t "${2:-watchdog}" | tr -d '\n' | grep -q -F "$1"; }

wait_for 90 shows "is not in" refused || fail "no refusal in the subfolder"
# pause speaks the language of the Wine prefix.
paused() { shows "Press any key" "$1" || shows "Нажмите любую клавишу" "$1"; }
wait_for 20 paused refused && [ ! -e "$scratch/refused.ended" ] || fail "the refusal does not wait for a key"
shows "===" refused && fail "a watchdog started in the subfolder"
terminal send-keys -t refused Enter
wait_for 20 test -e "$scratch/refused.ended" || fail "the refusal did not end at a key"
[ "$(cat "$scratch/refused.ended")" = 2 ] || fail "the refusal ended with $(cat "$scratch/refused.ended")"

wait_for 90 test -e "$scratch/writer.ended" || fail "the console writer's test did not end"
grep -q "^PASS   : SupervisionTest::consoleText" "$scratch/writer.txt" ||
    fail "the console writer's test: $(cat "$scratch/writer.txt")"

wait_for 90 shows "Первый запуск, ждем 40 сек" || fail "the terminal shows no Russian first pass"
shows "=== Программа восстанавливает Gorsebright в случае зависания ===" || fail "no Russian banner"
titled() { [ "$(terminal display -p -t watchdog '#{pane_title}')" = "Gorsebright watchdog" ]; }
wait_for 20 titled || fail "the window's title is '$(terminal display -p -t watchdog '#{pane_title}')'"

# A second start in the same folder: its exe ends at once with 1 and says
# nothing, so the script says why and waits for a key.
run_in_terminal second "cd '$scratch/elsewhere' && wine cmd /c '$(winepath -w "$app/start-watchdog.cmd")'"
wait_for 90 shows "ended with status 1: a watchdog already runs" second &&
    shows "(or this one was ended by taskkill)." second || fail "the second start does not say why it ended"
wait_for 20 paused second && [ ! -e "$scratch/second.ended" ] || fail "the second start does not wait for a key"
terminal send-keys -t second Enter
wait_for 20 test -e "$scratch/second.ended" || fail "the second start did not end at a key"
[ "$(cat "$scratch/second.ended")" = 1 ] || fail "the second start ended with $(cat "$scratch/second.ended")"
# The relaunch comes with the second pass, 40 s after the first.
relaunched() { [ -e "$app/is_run.txt" ]; }
wait_for 120 relaunched || fail "no relaunched gorsebright.exe in the unpacked folder"
said() { grep -q -F "$1" "$app/gorsebright.log"; }
wait_for 20 said 'arguments: "crash_restore"' || fail "the stand-in was not started with crash_restore"
# As a double-click starts it: a console of its own, not the watchdog's.
wait_for 20 said "console" && said "has a console of its own" ||
    fail "the relaunched gorsebright.exe: $(grep console "$app/gorsebright.log")"
terminal send-keys -t watchdog C-c
wait_for 20 test -e "$scratch/watchdog.ended" || fail "Ctrl+C did not end the watchdog"
stamp=$(stat -c %y "$app/is_run.txt")
refreshed() { [ "$(stat -c %y "$app/is_run.txt")" != "$stamp" ]; }
wait_for 20 refreshed || fail "the relaunched gorsebright.exe ended with the watchdog"
echo "Ctrl+C ended the watchdog (status $(cat "$scratch/watchdog.ended")); the relaunched program runs on"
# Ctrl+C on its own console reaches it: it was not started with Ctrl+C off.
touch "$app/gorsebright.ctrl_c"
wait_for 20 said "got Ctrl+C" || fail "Ctrl+C on its own console did not reach the relaunched gorsebright.exe"

# Started by hand where gorsebright.exe is not, it says so, naming the folder
# as the Russian console shows it, Cyrillic and all.
run_in_terminal stray "cd '$subfolder' && LC_ALL=ru_RU.UTF-8 wine gorsebright-watchdog.exe"
wait_for 90 shows 'Горсбрайт тест!\watchdog-win64, the folder it watches' stray ||
    fail "the watchdog started elsewhere does not name its folder"
terminal send-keys -t stray C-c
wait_for 20 test -e "$scratch/stray.ended" || fail "Ctrl+C did not end the watchdog started elsewhere"

# The logon start: a plain wineboot runs the user's Run entries, as a logon
# does. The start script starts a watchdog only in Gorsebright's folder. The
# scripts wait for a key at their end: stdin is empty. Added again, an entry
# that Task Manager marked disabled is enabled.
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
approved_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
mark_disabled() {
    wine reg add "$approved_key" /v "Gorsebright watchdog" /t REG_BINARY /d 030000000000000000000000 /f \
        >/dev/null || fail "cannot mark the logon start disabled"
}
still_marked() { wine reg query "$approved_key" /v "Gorsebright watchdog" >/dev/null 2>&1; }
mark_disabled
wine cmd /c "$(winepath -w "$app/add-logon-start.cmd")" </dev/null || fail "add-logon-start.cmd failed"
wine reg query "$run_key" /v "Gorsebright watchdog" || fail "no logon start was added"
still_marked && fail "the logon start is still marked disabled"
wineboot
logon_started() { wine taskkill /f /im gorsebright-watchdog.exe >/dev/null 2>&1; }
wait_for 60 logon_started || fail "no watchdog started at the logon"
mark_disabled
wine cmd /c "$(winepath -w "$app/remove-logon-start.cmd")" </dev/null || fail "remove-logon-start.cmd failed"
wine reg query "$run_key" /v "Gorsebright watchdog" >/dev/null 2>&1 && fail "the logon start is still there"
still_marked && fail "the mark of a disabled logon start is still there"
echo "the logon start ran the watchdog and was removed again"

# A Run value holds at most 260 characters, 53 of them fixed: a folder of 208
# is refused, one of 207 taken. Started from inside it, as a "&" in its path
# would split cmd /c's command line.
for length in 208 207; do
    name="long & far!"
    long_windows="$(winepath -w "$scratch")\\$name"
    long="$scratch/$name$(printf "%$((length - ${#long_windows}))s" | tr ' ' x)"
    mkdir "$long" && cp "$app/add-logon-start.cmd" "$app/gorsebright.exe" "$long/" || fail "cannot make $long"
    [ "$(winepath -w "$long" | tr -d '\n' | wc -m)" = "$length" ] || fail "$long is not $length long"
    (cd "$long" && wine cmd /c add-logon-start.cmd </dev/null >"$scratch/long.txt")
    status=$?
    value=$(wine reg query "$run_key" /v "Gorsebright watchdog" 2>/dev/null | sed -n 's/.*REG_SZ *//p' | tr -d '\r')
    if [ "$length" = 208 ]; then
        [ "$status" = 2 ] && grep -q "No logon start was added" "$scratch/long.txt" ||
            fail "a folder of 208 characters was not refused (status $status): $(cat "$scratch/long.txt")"
        [ -z "$value" ] || fail "a folder of 208 characters added $value"
    else
        [ "$status" = 0 ] || fail "a folder of 207 characters was refused: $(cat "$scratch/long.txt")"
        [ "${#value}" = 260 ] || fail "a folder of 207 characters added ${#value} characters: $value"
    fi
done
echo "a folder of 208 characters was refused a logon start, one of 207 given it"
