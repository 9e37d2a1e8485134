# Cross-building the 32-bit Windows program with MinGW-w64 (posix threads), run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(RAVELINK_MINGW_TRIPLE i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")

# ctest runs Windows test programs through Wine's 32-bit loader, in a prefix of the build tree's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
