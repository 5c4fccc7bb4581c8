#!/usr/bin/env bash
# The Debian package under a live systemd, driven as an operator would: boots
# a copy of the minimal tree from scripts/systemd-tree.sh in a container with
# its own network, installs the package there with apt, points the service at
# a folder holding the stand-in, and checks the service through its life up to
# its removal and purge. With EARLIER_PACKAGE_DIR, it installs that package
# first and upgrades to PACKAGE_DIR's where it would reinstall. Usage:
# systemd_test.sh PACKAGE_DIR (scripts/package.sh's output) BUILD_DIR (for the
# stand-in) [SUITE (the container's release; default the host's)
# [EARLIER_PACKAGE_DIR]]. Exits 77 (skipped) where no container can be booted.
set -Eeuo pipefail
packages=$1
build=$2
suite=${3:-}
earlier=${4:-}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tests/support/support.sh"
if [ "$(id -u)" -ne 0 ] || ! command -v systemd-nspawn >/dev/null || ! command -v mmdebstrap >/dev/null; then
    echo "needs root, systemd-nspawn and mmdebstrap (scripts/systemd-tree.sh installs them)"
    exit 77
fi
tree=$("$root/scripts/systemd-tree.sh" $suite)

work=$(mktemp -d)
nspawn=
cleanup() {
    # SIGTERM makes systemd-nspawn power the container off.
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        kill -TERM "$nspawn"
        for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$nspawn" 2>/dev/null || true
        wait "$nspawn" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "FAILED: line $LINENO: $BASH_COMMAND"' ERR

# Runs a command in the container, as root.
inside() {
    nsenter -t "$leader" -a env -i PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"
}
# The service's messages, as the README tells an operator to read them.
journal() {
    inside journalctl -u gorsebright-watchdog -o cat --all --no-pager | iconv -f cp1251 -t utf-8
}
property() {
    inside systemctl show -p "$1" --value gorsebright-watchdog
}
# What fail shows.
on_failure() {
    echo "-- journal of the service:"
    journal | tail -40
}
alive() { inside kill -0 "$1" 2>/dev/null; }
active_with_new_pid() { [ "$(property ActiveState)" = active ] && [ "$(property MainPID)" != "$1" ]; }
# The package's unit is the one systemd loads, from the folder it looks in
# first: /lib/systemd/system on Debian 12, /usr/lib/systemd/system on 13.
unit_where_systemd_looks() {
    local listed
    listed=$(inside dpkg-query -L gorsebright-watchdog | grep '/gorsebright-watchdog\.service$')
    [ "$listed" = "$(property FragmentPath)" ] || fail "the package's unit $listed is not the one loaded"
}

deb=$(ls "$packages"/gorsebright-watchdog_*_*.deb)
first=/root/pkg/$(basename "$deb")
cp -a "$tree" "$work/root"
mkdir "$work/root/root/pkg"
cp "$deb" "$build/standin/gorsebright.exe" "$work/root/root/pkg/"
if [ -n "$earlier" ]; then
    earlier_deb=$(ls "$earlier"/gorsebright-watchdog_*_*.deb)
    mkdir "$work/root/root/pkg/earlier"
    cp "$earlier_deb" "$work/root/root/pkg/earlier/"
    first=/root/pkg/earlier/$(basename "$earlier_deb")
fi

echo "== Booting a copy of $tree"
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 setsid systemd-nspawn -D "$work/root" --boot --register=no \
    --keep-unit --console=read-only --private-network </dev/null >"$work/nspawn.log" 2>&1 &
nspawn=$!
# Its PID 1 is the child of systemd-nspawn, once that has become systemd.
leader=
wait_for 30 eval 'leader=$(pgrep -P "$nspawn" -x systemd); [ -n "$leader" ]' ||
    { cat "$work/nspawn.log"; fail "the container did not start"; }
state=
wait_for 60 eval 'state=$(inside systemctl is-system-running --wait 2>/dev/null || true);
    [ "$state" = running ] || [ "$state" = degraded ]' || fail "the container's systemd is $state"

echo "== apt-get install $first"
inside env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$first" \
    >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the package did not install"; }
uid=$(inside id -u gorsebright) || fail "the package made no user gorsebright"
[ "$uid" -ne 0 ] || fail "the package's user is root"
[ "$(inside stat -c %U /srv/gorsebright)" = gorsebright ] || fail "/srv/gorsebright is not the user's"
# An operator's owner and mode for it outlive tmpfiles, run at every boot.
inside chown nobody:nogroup /srv/gorsebright
inside chmod 2770 /srv/gorsebright
inside systemd-tmpfiles --create gorsebright-watchdog.conf
[ "$(inside stat -c %U:%G:%a /srv/gorsebright)" = nobody:nogroup:2770 ] || fail "tmpfiles reset /srv/gorsebright"
inside chown gorsebright:gorsebright /srv/gorsebright
inside chmod 0755 /srv/gorsebright
[ "$(inside systemctl is-enabled gorsebright-watchdog || true)" = disabled ] ||
    fail "the service was enabled before its folder was chosen"

echo "== An operator's folder, drop-in and enable --now"
inside install -d -o gorsebright -g gorsebright /opt/gorsebright
inside install -o gorsebright -g gorsebright /root/pkg/gorsebright.exe /opt/gorsebright/
# What anyone who may write the folder could place there: it records whose
# rights it ran with, and whether those reach a process of root's.
cat >"$work/root/opt/gorsebright/taskkill" <<'EOF'
#!/bin/sh
echo "uid $(id -u), may signal PID 1: $(kill -0 1 2>/dev/null && echo yes || echo no)" >>taskkill.log
EOF
inside chown gorsebright:gorsebright /opt/gorsebright/taskkill
inside chmod 755 /opt/gorsebright/taskkill
mkdir -p "$work/root/etc/systemd/system/gorsebright-watchdog.service.d"
cat >"$work/root/etc/systemd/system/gorsebright-watchdog.service.d/override.conf" <<'EOF'
[Service]
WorkingDirectory=/opt/gorsebright
Environment=PATH=/opt/gorsebright:/usr/local/bin:/usr/bin:/bin
EOF
inside systemctl daemon-reload
inside systemctl enable --now gorsebright-watchdog 2>/dev/null
main=$(property MainPID)
[ "$main" -gt 0 ] || fail "enable --now started no watchdog"
[ "$(inside readlink "/proc/$main/cwd")" = /opt/gorsebright ] || fail "the watchdog runs elsewhere"
[ "$(inside stat -c %u "/proc/$main")" = "$uid" ] || fail "the watchdog does not run as gorsebright"
wait_for 20 eval 'journal | grep -q "Первый запуск, ждем 40 сек"' || fail "no first pass in the journal"
journal | grep -q "=== Программа восстанавливает Gorsebright в случае зависания ===" ||
    fail "no banner in the journal"

echo "== No heartbeat: the second pass relaunches the stand-in (40 s)"
standin=
wait_for 60 eval 'standin=$(inside pgrep -x gorsebright.exe); [ -n "$standin" ]' ||
    fail "no gorsebright.exe was relaunched"
[ "$(inside cat "/proc/$standin/cmdline" | tr '\0' ' ')" = "gorsebright.exe crash_restore " ] ||
    fail "the stand-in's command line is wrong"
[ "$(inside readlink "/proc/$standin/cwd")" = /opt/gorsebright ] || fail "the stand-in runs elsewhere"
[ "$(inside stat -c %u "/proc/$standin")" = "$uid" ] || fail "the stand-in does not run as gorsebright"
wait_for 20 eval 'journal | grep -Eq "(^|\.\.\.)ok$"' || fail "no 'ok' after the relaunch"
journal | grep -q "Зависла или не запущена" || fail "no 'hung' verdict in the journal"
expected="uid $uid, may signal PID 1: no"
[ "$(sort -u "$work/root/opt/gorsebright/taskkill.log")" = "$expected" ] ||
    fail "the planted taskkill ran as: $(cat "$work/root/opt/gorsebright/taskkill.log")"

echo "== systemctl stop leaves the stand-in running"
inside systemctl stop gorsebright-watchdog
alive "$main" && fail "the watchdog outlived systemctl stop"
alive "$standin" || fail "systemctl stop killed the relaunched stand-in"
inside systemctl start gorsebright-watchdog
main=$(property MainPID)

echo "== kill -9: systemd restarts the watchdog, which starts cleanly"
starts=$(journal | grep -c "Первый запуск, ждем 40 сек")
inside kill -9 "$main"
wait_for 30 active_with_new_pid "$main" || fail "systemd did not restart the killed watchdog"
wait_for 20 eval '[ "$(journal | grep -c "Первый запуск, ждем 40 сек")" -gt "$starts" ]' ||
    fail "the restarted watchdog did not start its first pass"
[ "$(property ActiveState)" = active ] || fail "the restarted watchdog was refused"
alive "$standin" || fail "the restart killed the relaunched stand-in"

# (Debian 12's package on 13 has it in /lib/systemd/system, an alias.)
[ -n "$earlier" ] || unit_where_systemd_looks

if [ -n "$earlier" ]; then
    echo "== Upgrading to /root/pkg/$(basename "$deb") restarts the running watchdog"
else
    echo "== Reinstalling, as an upgrade does, restarts the running watchdog"
fi
main=$(property MainPID)
inside env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "/root/pkg/$(basename "$deb")" \
    >"$work/reinstall.log" 2>&1 || { cat "$work/reinstall.log"; fail "the package did not reinstall"; }
wait_for 30 active_with_new_pid "$main" || fail "the upgrade did not restart the watchdog"
alive "$standin" || fail "the upgrade killed the relaunched stand-in"
[ "$(inside systemctl is-enabled gorsebright-watchdog || true)" = enabled ] || fail "the upgrade disabled the service"
unit_where_systemd_looks
# A unit moved from /lib into /usr/lib leaves nothing in dpkg's records under
# the old alias.
if [ -n "$earlier" ] && inside dpkg-query -L gorsebright-watchdog | grep '^/lib/systemd'; then
    fail "the upgraded package still has files under /lib/systemd"
fi

echo "== A watchdog started by hand beside the service's is refused"
status=0
hand=$(inside runuser -u gorsebright -- sh -c 'cd /opt/gorsebright && exec gorsebright-watchdog' 2>&1) || status=$?
[ "$status" -eq 1 ] && [ -z "$hand" ] || fail "the watchdog by hand ended with $status: $hand"
inside systemctl stop gorsebright-watchdog
hand=$(inside runuser -u gorsebright -- sh -c 'cd /opt/gorsebright; gorsebright-watchdog >/dev/null 2>&1 & echo $!')
# Once it holds the guard's name.
wait_for 20 eval 'inside grep -q "@watchdog <uniq id 2> uid $uid" /proc/net/unix' ||
    fail "the watchdog by hand did not start"
# Refused with status 1, the service stays failed instead of restarting; the
# start itself may already report the failure.
inside systemctl start gorsebright-watchdog 2>/dev/null || true
wait_for 30 eval '[ "$(property ActiveState)" = failed ]' ||
    fail "a refused service is $(property ActiveState), not failed"
[ "$(property ExecMainStatus)" = 1 ] || fail "the refused service ended with $(property ExecMainStatus)"
inside kill "$hand"

echo "== apt-get remove stops and removes the service"
inside systemctl start gorsebright-watchdog
main=$(property MainPID)
inside env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q gorsebright-watchdog \
    >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "the package did not remove"; }
alive "$main" && fail "the watchdog outlived apt-get remove"
[ "$(property LoadState)" = not-found ] || fail "the unit is still $(property LoadState)"
alive "$standin" || fail "apt-get remove killed the relaunched stand-in"
inside env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q gorsebright-watchdog \
    >>"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "the package did not purge"; }
[ "$(inside id -u gorsebright)" = "$uid" ] && [ -d "$work/root/srv/gorsebright" ] ||
    fail "the purge took the user gorsebright or /srv/gorsebright"

# Its connection drops as the container goes down.
inside systemctl poweroff 2>/dev/null || true
wait "$nspawn" || true
nspawn=
echo "live systemd ok: $(basename "$deb") in ${suite:-a tree of the host release}${earlier:+, upgraded from $earlier}"
