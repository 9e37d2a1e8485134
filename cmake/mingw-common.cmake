# What both MinGW-w64 toolchains share. The including file sets RAVELINK_MINGW_TRIPLE (the
# compiler's target triple) and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${RAVELINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RAVELINK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RAVELINK_MINGW_TRIPLE}-windres)

# Only the MinGW sysroot: the host's /usr/include must never leak into a Windows build.
set(CMAKE_FIND_ROOT_PATH /usr/${RAVELINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the program and the test modules run on a bare Windows (or Wine) without MinGW's
# DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc")
