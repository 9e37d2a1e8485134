# Per-user MSI of this Windows build (32- or 64-bit, from the toolchain), made with msitools' wixl
# from ravelink.wxs. Part of the default build of a Windows tree:
#   ${RAVELINK_PACKAGE_DIR}/ravelink-<version>-x86.msi or -x64.msi   the release installer
#   <build>/packages-test/ravelink-0.0.1-<arch>.msi                   the same files at a lower
#                                                                      version, for the upgrade test
find_program(RAVELINK_WIXL wixl)
if(NOT RAVELINK_WIXL)
  message(FATAL_ERROR "wixl (Debian package wixl) is missing: run scripts/install-deps.sh")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(RAVELINK_MSI_ARCH x64)
  set(msi_width 64)
  # Component codes differ per width: a 64-bit component is a different component.
  set(msi_component_guid 6D2B0C4E-3E1A-4F57-9C1B-2F8E5A7D4B60)
  set(msi_folder_guid 0B7E9A31-5C2D-4E8F-A6B4-93D1C2E7F805)
  set(msi_system_dir System64Folder)
else()
  set(RAVELINK_MSI_ARCH x86)
  set(msi_width 32)
  set(msi_component_guid CEDB0EF8-72DF-47BB-BF36-1413469C705E)
  set(msi_folder_guid A88495A4-3BB9-4246-BF58-5A2B7360CD71)
  set(msi_system_dir SystemFolder)
endif()
set(RAVELINK_TEST_OLD_VERSION 0.0.1)
if(NOT PROJECT_VERSION VERSION_GREATER RAVELINK_TEST_OLD_VERSION)
  message(FATAL_ERROR "the upgrade test needs a project version above ${RAVELINK_TEST_OLD_VERSION}")
endif()

set(msi_wxs "${CMAKE_CURRENT_LIST_DIR}/ravelink.wxs")
set(RAVELINK_MSI "${RAVELINK_PACKAGE_DIR}/ravelink-${PROJECT_VERSION}-${RAVELINK_MSI_ARCH}.msi")
set(RAVELINK_TEST_OLD_MSI
    "${PROJECT_BINARY_DIR}/packages-test/ravelink-${RAVELINK_TEST_OLD_VERSION}-${RAVELINK_MSI_ARCH}.msi")

function(ravelink_msi output version)
  get_filename_component(dir "${output}" DIRECTORY)
  get_filename_component(name "${output}" NAME)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    # wixl warns that Package has no Platform property; -a is what sets the platform.
    COMMAND "${RAVELINK_WIXL}" -a ${RAVELINK_MSI_ARCH}
            -D "Version=${version}" -D "Publisher=${RAVELINK_PUBLISHER}" -D "Width=${msi_width}"
            -D "ComponentGuid=${msi_component_guid}" -D "FolderGuid=${msi_folder_guid}"
            -D "SystemDirProperty=${msi_system_dir}"
            -D "Program=$<TARGET_FILE_NAME:ravelink>" -D "InfoPlugin=$<TARGET_FILE_NAME:ravelink_info>"
            -o "${output}" "${msi_wxs}"
    COMMAND "${CMAKE_COMMAND}" -D "MSI=${output}" -D "WORK=${PROJECT_BINARY_DIR}/msi-tables/${name}"
            -P "${CMAKE_CURRENT_LIST_DIR}/MsiSameVersionUpgrade.cmake"
    # wixl takes file sources relative to the working directory only, so both binaries sit there.
    WORKING_DIRECTORY "${PROJECT_BINARY_DIR}"
    DEPENDS ravelink ravelink_info "${msi_wxs}" "${CMAKE_CURRENT_LIST_DIR}/MsiSameVersionUpgrade.cmake"
    COMMENT "Building ${output}"
    VERBATIM)
endfunction()
ravelink_msi("${RAVELINK_MSI}" "${PROJECT_VERSION}")
ravelink_msi("${RAVELINK_TEST_OLD_MSI}" "${RAVELINK_TEST_OLD_VERSION}")
add_custom_target(msi ALL DEPENDS "${RAVELINK_MSI}" "${RAVELINK_TEST_OLD_MSI}")
