#!/usr/bin/env bash
# Measures what the watchdog costs while it waits, side by side with a minimal
# C loop (the floor) and monit, all watching the same heartbeat file. Takes
# about seven minutes. Run by hand (as root on a fresh machine, to install
# what is missing); not part of the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"

missing=()
for package in g++ gcc cmake make qtbase5-dev procps monit strace python3; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
gcc -O2 -o "$build/floor" "$root/bench/floor.c"
# In a private IPC namespace: the System V objects of the watchdogs it starts
# and kills go with it instead of staying on the machine.
unshare --ipc python3 "$root/bench/footprint.py" "$build"
