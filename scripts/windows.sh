#!/usr/bin/env bash
# Cross-builds the watchdog, the stand-in and the tests for Windows: 64-bit
# by default, 32-bit with --arch i686 (scripts/windows.sh [--arch i686|x86_64]
# [CMAKE ARGUMENTS...]). Installs what is missing (MinGW-w64 with POSIX
# threads, Wine; for i686 also Wine's 32-bit half, wine32 from Debian's i386
# architecture), builds Qt Core and QtTest as static libraries from Debian's
# own qtbase source of the installed version, and builds this project with
# cmake/mingw-w64-ARCH.cmake into build-windows/ (x86_64) or
# build-windows-i686/. Each Qt build takes 4 to 20 minutes once; it is kept
# in $WATCHDOG_QT_CACHE (default /var/cache/watchdog-qt-mingw), one per
# architecture, and reused after. The other arguments go to the project's
# cmake configure step, after the defaults (e.g. -DBUILD_TESTING=OFF to
# build only the programs). Run as root on Debian 12 or 13.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$root/tests/support/support.sh"
fail_prefix="windows.sh: "

arch=x86_64
if [ "${1:-}" = --arch ]; then
    arch=${2:-}
    shift 2 || shift
fi
# Debian names its MinGW-w64 packages for x86-64 or i686; objdump names the
# programs' format; the zip's name says win64 or win32.
case $arch in
x86_64) windows_build="$root/build-windows" debian_arch=x86-64 pe_format=pei-x86-64 zip_suffix=win64 ;;
i686) windows_build="$root/build-windows-i686" debian_arch=i686 pe_format=pei-i386 zip_suffix=win32 ;;
*) fail "--arch takes i686 or x86_64, not '$arch'" ;;
esac
toolchain_file="$root/cmake/mingw-w64-$arch.cmake"
cross=$arch-w64-mingw32
qt_cache_root="${WATCHDOG_QT_CACHE:-/var/cache/watchdog-qt-mingw}"

# The machine's Debian "deb" entries (deb822 and one-line files) as "deb-src"
# entries, on stdout. Only Debian's archives: a third-party one may have no
# sources at all.
debian_source_entries() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'BEGIN { RS = "" }
            {
                n = split($0, lines, "\n"); kept = ""; types = ""; debian = 0
                for (i = 1; i <= n; i++) {
                    if (lines[i] ~ /^#/) continue
                    if (lines[i] ~ /^Types:/) { types = lines[i]; lines[i] = "Types: deb-src" }
                    if (lines[i] ~ /^URIs:/ && lines[i] ~ /\/debian(-security)?\/?([ \t]|$)/) debian = 1
                    if (lines[i] ~ /^Signed-By:.*debian-archive-keyring/) debian = 1
                    kept = kept lines[i] "\n"
                }
                if (debian && types ~ /[ \t]deb([ \t]|$)/) printf "%s\n", kept
            }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 == "deb" && $0 ~ /\/debian(-security)?\/?[ \t]/ { $1 = "deb-src"; print }' "$file" |
            sed 's/^/# one-line: /'
    done
}

# Downloads and unpacks (with Debian's patches applied) the qtbase source
# package of exactly $qt_version into $1, through an apt configuration of its
# own under $1/apt: the machine's apt lists, cache and sources stay untouched.
fetch_qt_source() {
    local work=$1 apt_dir="$1/apt"
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
        "$work/source"
    : >"$apt_dir/sources.list"
    debian_source_entries | sed -n '/^# one-line: /!p' >"$apt_dir/sources.list.d/debian-src.sources"
    debian_source_entries | sed -n 's/^# one-line: //p' >"$apt_dir/sources.list.d/debian-src.list"
    [ -s "$apt_dir/sources.list.d/debian-src.sources" ] || [ -s "$apt_dir/sources.list.d/debian-src.list" ] ||
        fail "no Debian archive found in /etc/apt/sources.list*, so no deb-src entry to fetch $source_package from"
    cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/sources.list.d";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF
    echo "== Fetching Debian's $source_package $qt_version (private apt setup in $apt_dir)"
    # A failed index of one entry is reported but need not matter: the check
    # below says whether the wanted version can be had.
    apt-get -c "$apt_dir/apt.conf" -qq update || echo "windows.sh: apt-get update reported errors (above)" >&2
    local available
    available=$(apt-cache -c "$apt_dir/apt.conf" showsrc "$source_package" 2>/dev/null |
        awk '/^Version:/ { print $2 }' | sort -u | tr '\n' ' ')
    case " $available " in
    *" $qt_version "*) ;;
    *) fail "Debian's archives offer $source_package in version(s) '${available% }', not $qt_version," \
        "the installed qtbase5-dev's; bring qtbase5-dev to a version the archive has (apt-get install qtbase5-dev) and run again" ;;
    esac
    # apt downloads as user _apt where that user can write.
    id _apt >/dev/null 2>&1 && chown _apt "$work/source"
    (cd "$work/source" && apt-get -c "$apt_dir/apt.conf" -q source "$source_package=$qt_version") \
        >"$logs/source.log" 2>&1 || { tail -20 "$logs/source.log" >&2; fail "apt-get source failed"; }
    local dsc_version
    dsc_version=$(awk '/^Version:/ { print $2; exit }' "$work/source/${source_package}_${qt_version#*:}.dsc")
    [ "$dsc_version" = "$qt_version" ] || fail "downloaded $source_package $dsc_version, wanted $qt_version"
    qt_source="$work/source/$source_package-$upstream_version"
    [ -x "$qt_source/configure" ] || fail "no unpacked source in $qt_source"
    echo "   $(grep -c 'applying' "$logs/source.log") Debian patches applied"
}

# Runs a build step with its output in $logs/NAME.log, shown only on failure.
step() {
    local name=$1 started=$SECONDS
    shift
    echo "== Qt: $name (log: $logs/$name.log)"
    if ! "$@" >"$logs/$name.log" 2>&1; then
        tail -40 "$logs/$name.log" >&2
        fail "Qt step '$name' failed; the half-built tree stays in $cache_dir for a look, and the next run starts it anew"
    fi
    echo "   $((SECONDS - started)) s"
}

# Writes the licence texts of what the static Qt and the MinGW-w64 runtime put
# into a program into $licenses, with CRLF line ends, from the Qt source in $1:
# Qt's LGPLv3 and the GPLv3 it builds on, and one notices file with each
# third-party part's name, version, copyright and licence, from Qt's own
# attribution files, followed by Debian's copyright files of the runtime.
collect_licenses() {
    local source=$1 new="$licenses.new"
    rm -rf "$new"
    mkdir -p "$new"
    python3 - "$source" "$new" "$source_package $qt_version" "$debian_arch" \
        "${qt_attributions[@]}" <<'EOF_PY' ||
import json, pathlib, sys

source, out, qt_package, runtime_arch = (pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]),
                                          sys.argv[3], sys.argv[4])

def write(name, text):
    (out / name).write_text(text, encoding="utf-8", newline="\r\n")

write("Qt-LGPL-3.0.txt", (source / "LICENSE.LGPL3").read_text(encoding="utf-8"))
write("GPL-3.0.txt", (source / "LICENSE.GPL3").read_text(encoding="utf-8"))
notices = ["Third-party code in gorsebright-watchdog.exe\n"
           "================================\n\n"
           "gorsebright-watchdog.exe is built with Qt Core from Debian's source package\n%s.\n"
           "Qt Core contains the parts below (from Qt's qt_attribution.json files),\n"
           "and the MinGW-w64 runtime follows them.\n" % qt_package]
for folder in sys.argv[5:]:
    entries = json.loads((source / folder / "qt_attribution.json").read_text(encoding="utf-8"),
                         strict=False)
    for entry in entries if isinstance(entries, list) else [entries]:
        notices.append("\n" + "-" * 72 + "\n%s" % entry["Name"])
        if entry.get("Version"):
            notices.append(", version %s" % entry["Version"])
        notices.append("\nLicense: %s\n\n%s\n" % (entry.get("License", "see below"), entry["Copyright"].strip()))
        if entry.get("LicenseFile"):
            notices.append("\n" + (source / folder / entry["LicenseFile"]).read_text(encoding="utf-8"))
for package in ("gcc-mingw-w64-base", "mingw-w64-%s-dev" % runtime_arch):
    notices.append("\n" + "-" * 72 + "\nMinGW-w64 runtime: Debian's copyright file of %s\n\n" % package)
    notices.append(pathlib.Path("/usr/share/doc/%s/copyright" % package).read_text(encoding="utf-8"))
write("third-party-notices.txt", "".join(notices))
EOF_PY
        fail "could not collect the licences"
    mv "$new" "$licenses"
}

build_qt() {
    if [ -e "$stamp" ]; then
        echo "== Qt $qt_version for $cross: reusing $qt_prefix"
        return 0
    fi
    [ "$(id -u)" -eq 0 ] || [ -w "$qt_cache_root" ] ||
        fail "$qt_cache_root is not writable: run as root once to build Qt for Windows"
    echo "== Qt $qt_version for $cross: building it into $qt_prefix (4 to 20 minutes, once)"
    rm -rf "$cache_dir"
    local work="$cache_dir/work"
    logs="$cache_dir/logs"
    mkdir -p "$work/build" "$logs"
    fetch_qt_source "$work"

    cd "$work/build"
    # MAKEFLAGS: configure builds qmake with a plain make.
    step configure env MAKEFLAGS="-j$(nproc)" \
        "$qt_source/configure" -prefix "$qt_prefix" "${qt_configure_options[@]}"
    step qmake make sub-src-qmake_all
    # rcc first: corelib uses it without saying so.
    step host-tools make -C src -j "$(nproc)" sub-moc sub-rcc sub-tracegen
    step libraries make -C src -j "$(nproc)" sub-corelib sub-winmain sub-testlib
    step install make -C src sub-moc-install_subtargets sub-rcc-install_subtargets \
        sub-tracegen-install_subtargets sub-3rdparty-pcre2-install_subtargets \
        sub-corelib-install_subtargets sub-winmain-install_subtargets sub-testlib-install_subtargets
    # The mkspecs (Qt5Core's CMake files name mkspecs/win32-g++) and qmake.
    step install-mkspecs make install_mkspecs sub-qmake-qmake-aux-pro-install_subtargets
    cd "$root"

    local file
    for file in lib/libQt5Core.a lib/libQt5Test.a lib/libqtmain.a lib/libqtpcre2.a \
        lib/cmake/Qt5/Qt5Config.cmake lib/cmake/Qt5Core/Qt5CoreConfig.cmake \
        lib/cmake/Qt5Test/Qt5TestConfig.cmake mkspecs/win32-g++/qmake.conf bin/moc bin/rcc; do
        [ -e "$qt_prefix/$file" ] || fail "the Qt build installed no $qt_prefix/$file"
    done
    cp "$work/build/config.summary" "$logs/" 2>/dev/null || true
    collect_licenses "$qt_source"
    rm -rf "$work"
    # Written last: a cache without it is half-built and is built anew.
    {
        echo "source: $source_package $qt_version"
        echo "compiler: $compiler_version"
        echo "configure: ${qt_configure_options[*]}"
        echo "built: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
    } >"$stamp"
    echo "== Qt: done, $(du -sh "$cache_dir" | cut -f1) in $cache_dir"
}

build_windows() {
    # A tree configured against another Qt prefix (an older cache) starts anew.
    if [ -f "$windows_build/CMakeCache.txt" ] &&
        ! grep -qxF "Qt5Core_DIR:PATH=$qt_prefix/lib/cmake/Qt5Core" "$windows_build/CMakeCache.txt"; then
        rm -rf "$windows_build"
    fi
    cmake -S "$root" -B "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" \
        -DCMAKE_PREFIX_PATH="$qt_prefix" -DWATCHDOG_LICENSES_DIR="$licenses" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON "$@"
    cmake --build "$windows_build" -j "$(nproc)"
    (cd "$windows_build" && cpack >cpack.log) || { cat "$windows_build/cpack.log" >&2; fail "cpack failed"; }
}

# Functions of Windows 8 and later that Qt or the MinGW-w64 runtime could
# import; the programs must load on Windows 7 SP1.
newer_than_7='GetSystemTimePreciseAsFileTime|CreateFile2|CopyFile2|GetCurrentThreadStackLimits'
newer_than_7+='|SetThreadDescription|GetThreadDescription|WaitOnAddress|WakeByAddress(Single|All)'
newer_than_7+='|(Initialize|Enter|Delete)SynchronizationBarrier|VirtualAlloc2|PrefetchVirtualMemory'
newer_than_7+='|GetOverlappedResultEx|(CreateFileMapping|MapViewOfFile)FromApp|SetDefaultDllDirectories'
newer_than_7+='|AddDllDirectory|GetCurrentPackage(Id|FullName|Path)|GetPackageFamilyName'

# Lists what was built and checks that each program stands alone and loads
# on Windows 7 SP1: it may import only Windows' own DLLs, none of Qt's or
# MinGW's, nor the Universal CRT or API sets of later Windows, and no
# function of a later Windows; the watchdog is of this architecture, with
# ASLR (and its relocations) and DEP.
report_built() {
    echo "== Built for Windows ($cross), in $((SECONDS - script_started)) s:"
    local exe headers dlls newer zip
    for exe in "$windows_build/gorsebright-watchdog.exe" "$windows_build/standin/gorsebright.exe"; do
        [ -f "$exe" ] || fail "$exe was not built"
        headers=$("$cross-objdump" -p "$exe")
        dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers" | sort -u | tr '\n' ' ')
        printf '   %s  %s bytes  imports: %s\n' "${exe#"$root"/}" "$(stat -c %s "$exe")" "$dlls"
        if grep -qiE 'qt5|libstdc|libgcc|winpthread|mingw|ucrtbase|api-ms-win' <<<"$dlls"; then
            fail "$exe needs DLLs that do not come with Windows 7"
        fi
        newer=$({ grep -owE "$newer_than_7" <<<"$headers" || true; } | sort -u | tr '\n' ' ')
        [ -z "$newer" ] || fail "$exe imports what Windows 7 does not have: $newer"
    done
    exe="$windows_build/gorsebright-watchdog.exe"
    headers=$("$cross-objdump" -p "$exe")
    local flags
    flags=$(awk '/^\t\t\t\t\t[A-Z_]+$/ { printf "%s ", $1 }
        /large address aware/ { printf "LARGE_ADDRESS_AWARE " }' <<<"$headers")
    printf '   %s: %s, %s\n' "${exe#"$root"/}" "$pe_format" "$flags"
    grep -q "file format $pe_format\$" <<<"$headers" || fail "$exe is not $pe_format"
    [[ " $flags" == *" DYNAMIC_BASE "* && " $flags" == *" NX_COMPAT "* ]] ||
        fail "$exe lacks ASLR (DYNAMIC_BASE) or DEP (NX_COMPAT)"
    # Without its relocations Windows cannot move it, whatever the flag says.
    if grep -qE 'Entry 5 0+ 0+ Base Relocation' <<<"$headers"; then
        fail "$exe has no relocations"
    fi
    zip=$(ls "$windows_build"/watchdog-*-"$zip_suffix".zip)
    printf '   %s  %s bytes\n' "${zip#"$root"/}" "$(stat -c %s "$zip")"
}

script_started=$SECONDS
wine_packages=(wine wine64)
if [ "$arch" = i686 ]; then
    # The 32-bit programs run in a 32-bit Wine prefix, under Wine's 32-bit
    # half, which Debian builds for its i386 architecture only.
    wine_packages+=(wine32:i386)
    if ! dpkg --print-foreign-architectures | grep -qx i386 && [ "$(id -u)" -eq 0 ]; then
        echo "== Adding Debian's i386 architecture, for wine32:i386"
        dpkg --add-architecture i386
    fi
fi
install_missing_packages "${build_packages[@]}" "${package_packages[@]}" perl python3 xz-utils \
    "g++-mingw-w64-$debian_arch-posix" "gcc-mingw-w64-$debian_arch-posix" "binutils-mingw-w64-$debian_arch" \
    "mingw-w64-$debian_arch-dev" "${wine_packages[@]}" tmux locales
# Wine's console takes its code page from the locale: ru_RU.UTF-8 gives the
# 866 of a Russian Windows console, which the console test needs.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8' && [ "$(id -u)" -eq 0 ]; then
    localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi

source_package=$(dpkg-query -W -f='${source:Package}' qtbase5-dev)
qt_version=$(dpkg-query -W -f='${source:Version}' qtbase5-dev)
upstream_version=${qt_version#*:}
upstream_version=${upstream_version%-*}
# The cross compiler and its runtime, by package version: a new one builds
# Qt anew (its --version says only "12-posix").
compiler_version=$(dpkg-query -W -f='${Package} ${Version}; ' \
    "g++-mingw-w64-$debian_arch-posix" "mingw-w64-$debian_arch-dev" "binutils-mingw-w64-$debian_arch")
qt_configure_options=(-opensource -confirm-license
    -xplatform win32-g++ -device-option CROSS_COMPILE="$cross-"
    # The -posix compilers by name, whatever update-alternatives chose.
    QMAKE_CC="$cross-gcc-posix" QMAKE_CXX="$cross-g++-posix"
    QMAKE_LINK="$cross-g++-posix" QMAKE_LINK_C="$cross-gcc-posix"
    -static -release -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-openssl
    -qt-zlib -qt-pcre -no-sql-sqlite -no-feature-network -nomake examples -nomake tests)
options_hash=$(printf '%s\n' "$compiler_version" "${qt_configure_options[@]}" |
    sha256sum | cut -c 1-12)
cache_dir="$qt_cache_root/$qt_version-$options_hash"
qt_prefix="$cache_dir/qt"
stamp="$cache_dir/complete"
licenses="$cache_dir/licenses"
# The third-party code of Qt Core that a program linked with it contains, as
# the link map of gorsebright-watchdog.exe shows (-Wl,-Map): folders of qt_attribution.json.
qt_attributions=(src/3rdparty/zlib src/3rdparty/pcre2 src/3rdparty/double-conversion
    src/3rdparty/easing src/3rdparty/freebsd src/3rdparty/md4 src/3rdparty/md5 src/3rdparty/sha1
    src/3rdparty/sha3 src/3rdparty/rfc6234 src/3rdparty/tinycbor src/corelib/io src/corelib/text
    src/corelib/codecs)

# One build of the cache at a time; a user who cannot write it can still use it.
if mkdir -p "$qt_cache_root" 2>/dev/null && [ -w "$qt_cache_root" ]; then
    exec 9>>"$qt_cache_root/.lock"
    flock 9
fi
build_qt
# A Qt cache from before the licences were kept beside it: fetch the source
# once more for them.
if [ ! -d "$licenses" ]; then
    logs="$cache_dir/logs"
    work=$(mktemp -d)
    fetch_qt_source "$work"
    collect_licenses "$qt_source"
    rm -rf "$work"
fi
exec 9>&-

build_windows "$@"
report_built
