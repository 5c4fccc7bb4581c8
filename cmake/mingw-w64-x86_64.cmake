# Cross-compiles for 64-bit Windows with Debian's MinGW-w64, POSIX threads
# variant (package g++-mingw-w64-x86-64-posix). scripts/windows.sh uses it:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix of a Qt 5 built for x86_64-w64-mingw32>

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
