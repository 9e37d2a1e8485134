# Cross-building the 64-bit Windows program with MinGW-w64 (posix threads), run under wine64. It is
# the same program as the 32-bit one, for plug-ins that wrap 64-bit libraries.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(RAVELINK_MINGW_TRIPLE x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")

# ctest runs Windows test programs through Wine's 64-bit loader, which needs no 32-bit support from
# the host's kernel, in a prefix of the build tree's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--64")
