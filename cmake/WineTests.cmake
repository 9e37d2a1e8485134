# Windows tests run under Wine, in a prefix of the build tree's own. Whether this host can run the
# program of this tree is found out once, at configure time:
#  - 64-bit programs run under wine64 on every x86_64 host;
#  - 32-bit programs need a kernel that executes 32-bit code, which some hosts lack
#    (scripts/probe-win32.sh says which, and RAVELINK_RUN_WIN32=yes|no overrides it).
# Where the host cannot run them, the tests are still built, and ctest reports each one as skipped
# with the reason, never as passed.
#
#   ravelink_add_wine_test(NAME <name> COMMAND <command>...)
# adds a test that runs Windows code; on a host that can run it, it gets the Wine prefix fixture and
# environment, elsewhere a stand-in that reports the skip.

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(RAVELINK_WINE_RUNS TRUE)
  set(RAVELINK_WINE_SKIP_REASON "")
  set(RAVELINK_WINE_LOADER_ARGS --64)
else()
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/probe-win32.sh"
                  OUTPUT_VARIABLE probe OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(RAVELINK_WINE_LOADER_ARGS "")
  if(probe STREQUAL "yes")
    set(RAVELINK_WINE_RUNS TRUE)
    set(RAVELINK_WINE_SKIP_REASON "")
  else()
    set(RAVELINK_WINE_RUNS FALSE)
    string(REGEX REPLACE "^no: " "" RAVELINK_WINE_SKIP_REASON "${probe}")
    message(STATUS "32-bit Windows tests will be skipped: ${RAVELINK_WINE_SKIP_REASON}")
  endif()
endif()
set(RAVELINK_WINE_ENV "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "WINEDEBUG=-all")

function(ravelink_add_wine_test)
  cmake_parse_arguments(arg "" "NAME" "COMMAND" ${ARGN})
  if(RAVELINK_WINE_RUNS)
    add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
    set_tests_properties(${arg_NAME} PROPERTIES FIXTURES_REQUIRED wine
                         ENVIRONMENT "${RAVELINK_WINE_ENV}")
  else()
    add_test(NAME ${arg_NAME}
             COMMAND /bin/sh -c "echo \"skipped: $0\"; exit 77" "${RAVELINK_WINE_SKIP_REASON}")
    set_tests_properties(${arg_NAME} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()
