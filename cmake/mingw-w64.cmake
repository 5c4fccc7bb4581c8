# What the MinGW-w64 toolchain files share: set CMAKE_SYSTEM_PROCESSOR and
# MINGW_TRIPLET, then include this (cmake/mingw-w64-x86_64.cmake,
# cmake/mingw-w64-i686.cmake).
#
# Qt's packages are looked up only in the MinGW sysroot and in the prefixes
# given in CMAKE_PREFIX_PATH, never in the host's /usr, so the host's own Qt
# cannot be picked by mistake. The host tools of that Qt (moc, rcc) are Linux
# programs in its bin folder; its CMake files name them directly.

set(CMAKE_SYSTEM_NAME Windows)

# The -posix names, not the plain ones, which follow update-alternatives and
# may point to the win32 threads variant; std::thread and friends need posix.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
# CMAKE_PREFIX_PATH is not passed on to try_compile projects, which also read
# this file; they need no Qt.
if(CMAKE_PREFIX_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: libgcc, libstdc++ and libwinpthread linked in, so
# it needs no MinGW DLL beside it (Qt itself is a static build). Stripped in
# the release build types.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")
