#!/bin/sh
# Runs a test as the first process of private PID, mount, network and IPC
# namespaces. Kills by name then reach only the test's own processes, the
# guard's socket names and System V objects are the test's own and go with
# it, and when the test ends the kernel ends whatever it left running.
# Usage: confined.sh PROGRAM [ARGUMENT...]; exits 77 (skipped) where the
# system allows no namespaces. unshare ignores SIGINT and SIGTERM while it
# waits: SIGKILL (as ctest's time-out sends) ends it and everything inside.
set -u
flags="--pid --fork --kill-child --mount-proc --net --ipc"
# Others than root get the namespaces inside a user namespace of their own.
[ "$(id -u)" -eq 0 ] || flags="--user --map-root-user $flags"
# shellcheck disable=SC2086
if ! reason=$(unshare $flags true 2>&1); then
    echo "skipped: cannot make private namespaces here ($reason); this test would kill processes by name that it did not start"
    exit 77
fi
# shellcheck disable=SC2086
exec unshare $flags "$@"
