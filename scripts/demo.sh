#!/usr/bin/env bash
# Installs what the build needs where it is missing (the compiler, cmake,
# make, Qt 5's development files, dpkg-dev), builds, and runs the watchdog in a
# scratch folder with the stand-in gorsebright.exe on PATH. It shows a first
# start, a missing program relaunched, normal work, and a recovery from a hang
# that the demo triggers. Takes about four to five minutes; Ctrl-C ends it
# early.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages "${build_packages[@]}"
build_all

demo=$(mktemp -d /tmp/watchdog-demo.XXXXXX)
cd "$demo"
echo "== demo folder: $demo (messages converted from Windows-1251 for this terminal)"

# Confined like the tests, in private namespaces: its kills by name reach only
# the demo's own stand-in, never a gorsebright.exe that already runs here.
# Qt keeps the guard's key files in TMPDIR: the demo folder takes them.
PATH="$build/standin:$PATH" TMPDIR="$demo" "$root/tests/confined.sh" "$build/watchdog" >watchdog.log 2>&1 &
watchdog=$!
# The log is Windows-1251; complete lines are shown as UTF-8 as they come.
shown=0
show_new_lines() {
    local total
    total=$(wc -l <watchdog.log)
    if [ "$total" -gt "$shown" ]; then
        head -n "$total" watchdog.log | tail -n +"$((shown + 1))" | iconv -f cp1251 -t utf-8
        shown=$total
    fi
}

stop() {
    show_new_lines
    # Ends the namespaces and with them the demo's stand-in.
    kill -KILL "$watchdog" 2>/dev/null || true
}
trap stop EXIT

count() { iconv -f cp1251 -t utf-8 watchdog.log | grep -c -F "$1" || true; }
wait_for() { # text, how many times, seconds
    local deadline=$((SECONDS + $3))
    until [ "$(count "$1")" -ge "$2" ]; do
        [ $SECONDS -lt $deadline ] || { echo "== demo: gave up waiting for \"$1\"" >&2; exit 1; }
        kill -0 "$watchdog" 2>/dev/null || { echo "== demo: the watchdog ended:" >&2; iconv -f cp1251 -t utf-8 watchdog.log >&2; exit 1; }
        sleep 1
        show_new_lines
    done
    show_new_lines
}

wait_for "работает нормально" 1 200
echo "== demo: making gorsebright.exe hang (touch gorsebright.hang)"
touch gorsebright.hang
recoveries=$(count "Запускаем")
wait_for "Запускаем" $((recoveries + 1)) 100
wait_for "работает нормально" $(($(count "работает нормально") + 1)) 60
echo "== demo: done; the log is in $demo/watchdog.log"
