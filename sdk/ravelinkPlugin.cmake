# ravelink_add_plugin(<name> <source>...)
#
# Builds <name> as a ravelink plug-in for the current toolchain: a loadable module named
# <name>.dll (Windows) or <name>.so (elsewhere), without a "lib" prefix, that exports the one
# symbol "Invoke" and nothing else. Define Invoke with the RAVELINK_PLUGIN_EXPORT and RAVELINK_CALL
# macros of <ravelink/ravelink_plugin.h>; this function takes care of the rest:
#
#  - hidden visibility for C and C++, so helper functions and statics stay private;
#  - on Linux and other ELF platforms a linker version script that keeps every symbol but Invoke
#    local, and --no-undefined, so a missing function fails at link time instead of at load time;
#  - on Windows with MinGW, the compiler's runtime (libgcc, libstdc++, winpthread) linked
#    statically, so the DLL needs no MinGW DLL beside it, and no automatic export of other symbols;
#  - after each build, a check of the module's export table: the build fails unless it holds
#    exactly "Invoke" (a __stdcall Invoke shows up as "Invoke@12", a C++ one without extern "C"
#    as a mangled name; the host would not find either). Set RAVELINK_CHECK_EXPORTS to OFF to skip.
#
# The host of the Windows build is a 32-bit program: a 64-bit DLL cannot be loaded by it.

set(_ravelink_plugin_dir "${CMAKE_CURRENT_LIST_DIR}")

function(ravelink_add_plugin name)
  if(NOT ARGN)
    message(FATAL_ERROR "ravelink_add_plugin(${name}): no source files given")
  endif()
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE ravelink::plugin_api)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      message(WARNING "ravelink_add_plugin(${name}): this toolchain builds 64-bit code, but the "
        "Windows host is a 32-bit program and cannot load a 64-bit DLL")
    endif()
    if(MINGW)
      target_link_options(${name} PRIVATE
        -static
        LINKER:--exclude-all-symbols)
    endif()
    set(kind pe)
  elseif(NOT APPLE)
    set(map "${_ravelink_plugin_dir}/ravelink-plugin.map")
    target_link_options(${name} PRIVATE "LINKER:--version-script=${map}" LINKER:--no-undefined)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${map}")
    set(kind elf)
  else()
    set(kind none)
  endif()

  if(NOT DEFINED RAVELINK_CHECK_EXPORTS OR RAVELINK_CHECK_EXPORTS)
    if(kind STREQUAL "pe" AND CMAKE_OBJDUMP)
      set(tool "${CMAKE_OBJDUMP}")
    elseif(kind STREQUAL "elf" AND CMAKE_NM)
      set(tool "${CMAKE_NM}")
    else()
      set(tool "")
    endif()
    if(tool)
      add_custom_command(TARGET ${name} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" -DKIND=${kind} "-DTOOL=${tool}" "-DMODULE=$<TARGET_FILE:${name}>"
                -P "${_ravelink_plugin_dir}/ravelinkCheckExports.cmake"
        VERBATIM)
    endif()
  endif()
endfunction()
