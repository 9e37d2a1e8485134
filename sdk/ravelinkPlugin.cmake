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
#    and the run path $ORIGIN, so libraries shipped in the plug-in's own folder are found (on
#    Windows the host finds them there when the plug-in is loaded by its absolute path);
#  - on Windows with MinGW, the compiler's runtime (libgcc, libstdc++, winpthread) linked
#    statically, so the DLL needs no MinGW DLL beside it, and no automatic export of other symbols;
#  - after each build, a check of the module's export table: the build fails unless it holds
#    exactly "Invoke" (a __stdcall Invoke shows up as "Invoke@12", a C++ one without extern "C"
#    as a mangled name; the host would not find either). Set RAVELINK_CHECK_EXPORTS to OFF to skip.
#
# A program loads only plug-ins of its own system and width: a 32-bit ravelink.exe cannot load a
# 64-bit DLL, nor the 64-bit one a 32-bit DLL. The package knows which program it came with
# (ravelink_TARGET_SYSTEM, ravelink_TARGET_BITS), and this function refuses at configure time to
# build a plug-in that program could not load.

set(_ravelink_plugin_dir "${CMAKE_CURRENT_LIST_DIR}")

function(_ravelink_describe system bits out)
  set(${out} "the ${bits}-bit ${system} program" PARENT_SCOPE)
endfunction()

function(_ravelink_check_target name)
  if(NOT DEFINED ravelink_TARGET_SYSTEM OR NOT DEFINED ravelink_TARGET_BITS)
    return()  # included on its own, not through find_package(ravelink)
  endif()
  if(WIN32)
    set(system Windows)
  else()
    set(system "${CMAKE_SYSTEM_NAME}")
  endif()
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  if(system STREQUAL ravelink_TARGET_SYSTEM AND bits EQUAL ravelink_TARGET_BITS)
    return()
  endif()
  _ravelink_describe("${ravelink_TARGET_SYSTEM}" "${ravelink_TARGET_BITS}" serves)
  _ravelink_describe("${system}" "${bits}" wanted)
  if(system STREQUAL ravelink_TARGET_SYSTEM)
    set(rule "A ${bits}-bit plug-in needs the ${bits}-bit program.")
  else()
    set(rule "A ${system} plug-in needs the ${system} program.")
  endif()
  message(FATAL_ERROR "ravelink_add_plugin(${name}): this ravelink package (${ravelink_DIR}) "
    "serves ${serves}, which cannot load a plug-in built by this toolchain for ${wanted}. ${rule} "
    "Point ravelink_DIR (or CMAKE_PREFIX_PATH) at the package installed with ${wanted}, or build "
    "with the toolchain for ${serves}.")
endfunction()

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

  _ravelink_check_target(${name})
  if(WIN32)
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
    # Libraries the plug-in ships beside itself are found there, wherever it is installed.
    set_target_properties(${name} PROPERTIES BUILD_RPATH "\$ORIGIN" INSTALL_RPATH "\$ORIGIN")
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
