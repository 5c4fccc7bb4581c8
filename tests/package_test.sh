#!/usr/bin/env bash
# Checks what the Debian package from scripts/package.sh holds, that its
# watchdog runs, and that systemd accepts the unit without a complaint.
# Usage: package_test.sh PACKAGE_DIR
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=$(ls "$1"/gorsebright-watchdog_*_*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
# Qt's library is libqt5core5t64 on Debian 13 (64-bit time_t).
for wanted in 'libqt5core5(a|t64)' systemd libc6; do
    grep -Eq "$wanted" <<<"$depends" || { echo "Depends lacks $wanted: $depends"; exit 1; }
done
contents=$(dpkg-deb -c "$deb")
# The unit in this release's systemd folder: /lib on Debian 12, /usr/lib on 13.
unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd)
grep -q " \.$unit_dir/gorsebright-watchdog.service\$" <<<"$contents" ||
    { echo "package lacks $unit_dir/gorsebright-watchdog.service"; exit 1; }
for wanted in /usr/bin/gorsebright-watchdog \
    /lib/sysusers.d/gorsebright-watchdog.conf /lib/tmpfiles.d/gorsebright-watchdog.conf \
    /usr/share/man/man1/gorsebright-watchdog.1.gz /usr/share/doc/gorsebright-watchdog/README.md; do
    grep -q -F "$wanted" <<<"$contents" || { echo "package lacks $wanted"; exit 1; }
done

# The packaged watchdog, unpacked, prints its banner and first verdict.
dpkg-deb -x "$deb" "$work/root"
binary=$work/root/usr/bin/gorsebright-watchdog
mkdir "$work/run"
(cd "$work/run" && timeout -s KILL 1 env TMPDIR="$work/run" PATH=/nonexistent "$binary" >out 2>err) || true
iconv -f cp1251 -t utf-8 "$work/run/out" | grep -q -F "Первый запуск, ждем 40 сек" ||
    { echo "unpacked watchdog printed:"; od -c "$work/run/out"; exit 1; }

# The unit, pointed at a binary that exists here, must pass without a word.
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze not installed: unit not verified"
    exit 77
fi
unit=$(find "$work/root" -name gorsebright-watchdog.service)
sed "s|^ExecStart=.*|ExecStart=$binary|" "$unit" >"$work/gorsebright-watchdog.service"
grep -q '^KillMode=process$' "$work/gorsebright-watchdog.service"
# Its Documentation= names the packaged man page.
report=$(MANPATH="$work/root/usr/share/man" systemd-analyze verify "$work/gorsebright-watchdog.service" 2>&1) || true
if [ -n "$report" ]; then
    echo "systemd-analyze verify: $report"
    exit 1
fi
echo "package and unit ok: $(basename "$deb")"
