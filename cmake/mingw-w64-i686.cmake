# Cross-compiles for 32-bit Windows with Debian's MinGW-w64, POSIX threads
# variant (package g++-mingw-w64-i686-posix). scripts/windows.sh --arch i686
# uses it:
#
#   cmake -S . -B build-windows-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix of a Qt 5 built for i686-w64-mingw32>
#
# Not large-address-aware (the linker's default): a 32-bit Windows gives a
# process more than 2 GB only when booted with /3GB, and on a 64-bit Windows,
# where the flag would give 4 GB, this build refuses to run; the watchdog
# needs some 10 MB. So the flag would buy nothing, and would hand addresses
# above 2 GB to code (Qt, the MinGW runtime) never run with them here.

set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
