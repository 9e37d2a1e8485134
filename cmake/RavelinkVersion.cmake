# The version lives in one place, project(ravelink VERSION ...) in the top CMakeLists.txt. From it this
# file generates RavelinkVersion.h (for the program and the information plug-in) and, for Windows, a
# version resource per binary so that the version shows in the file's properties.

set(RAVELINK_PUBLISHER "The ravelink developers" CACHE STRING
    "Publisher shown in version resources, installers and package metadata")

set(RAVELINK_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
configure_file("${CMAKE_CURRENT_LIST_DIR}/version/RavelinkVersion.h.in"
               "${RAVELINK_GENERATED_DIR}/RavelinkVersion.h" @ONLY)
add_library(ravelink_version INTERFACE)
target_include_directories(ravelink_version INTERFACE "${RAVELINK_GENERATED_DIR}")

# ravelink_version_resource(<target> <description>): on Windows, compiles a version resource into
# <target> (FileVersion, ProductVersion, ProductName "ravelink", CompanyName). Elsewhere a no-op.
function(ravelink_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(RC_FILE_TYPE VFT_APP)
    set(RC_FILE_NAME "${target}.exe")
  else()
    set(RC_FILE_TYPE VFT_DLL)
    set(RC_FILE_NAME "${target}.dll")
  endif()
  set(RC_DESCRIPTION "${description}")
  set(RC_INTERNAL_NAME "${target}")
  set(rc "${RAVELINK_GENERATED_DIR}/${target}.rc")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
