# Per-user MSI of this Windows build (32- or 64-bit, from the toolchain), made with msitools' wixl
# from ravelink.wxs. Part of the default build of a Windows tree:
#   ${RAVELINK_PACKAGE_DIR}/ravelink-<version>-x86.msi or -x64.msi   the release installer
#   <build>/packages-test/ravelink-0.0.1-<arch>.msi                   the same files at a lower
#                                                                      version, for the upgrade test
# The build packs unsigned files; `make package` builds the release MSI once more through the
# msi-release target below, signed when it is given a certificate.
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
  set(msi_broker_guid 9C3E5F21-7A4B-4C8D-B2E6-1F0A8D3C5B74)
  set(msi_program_files ProgramFiles64Folder)
else()
  set(RAVELINK_MSI_ARCH x86)
  set(msi_width 32)
  set(msi_component_guid CEDB0EF8-72DF-47BB-BF36-1413469C705E)
  set(msi_folder_guid A88495A4-3BB9-4246-BF58-5A2B7360CD71)
  set(msi_system_dir SystemFolder)
  set(msi_broker_guid 5E8A2D47-1C6F-4B93-A07D-3B9E6F2C8A15)
  set(msi_program_files ProgramFilesFolder)
endif()
set(RAVELINK_TEST_OLD_VERSION 0.0.1)
if(NOT PROJECT_VERSION VERSION_GREATER RAVELINK_TEST_OLD_VERSION)
  message(FATAL_ERROR "the upgrade test needs a project version above ${RAVELINK_TEST_OLD_VERSION}")
endif()

set(msi_wxs "${CMAKE_CURRENT_LIST_DIR}/ravelink.wxs")
set(RAVELINK_MSI "${RAVELINK_PACKAGE_DIR}/ravelink-${PROJECT_VERSION}-${RAVELINK_MSI_ARCH}.msi")
set(RAVELINK_TEST_OLD_MSI
    "${PROJECT_BINARY_DIR}/packages-test/ravelink-${RAVELINK_TEST_OLD_VERSION}-${RAVELINK_MSI_ARCH}.msi")

# What packaging/windows/msi.py needs to build this tree's MSI: wixl, the architecture, the .wxs, the
# folder its sources are relative to and the definitions, one per line. The installer's own file list
# (every <File> of the .wxs) is what gets staged and, for a release, signed.
configure_file("${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_BINARY_DIR}/LICENSE.txt" COPYONLY)
set(RAVELINK_MSI_ARGS "${PROJECT_BINARY_DIR}/packaging/msi.args")
file(GENERATE OUTPUT "${RAVELINK_MSI_ARGS}" CONTENT "wixl=${RAVELINK_WIXL}
arch=${RAVELINK_MSI_ARCH}
wxs=${msi_wxs}
sources=${PROJECT_BINARY_DIR}
Version=${PROJECT_VERSION}
Publisher=${RAVELINK_PUBLISHER}
Width=${msi_width}
ComponentGuid=${msi_component_guid}
FolderGuid=${msi_folder_guid}
SystemDirProperty=${msi_system_dir}
Program=$<TARGET_FILE_NAME:ravelink>
Host=$<TARGET_FILE_NAME:ravelink-host>
OtherHost=${RAVELINK_OTHER_WIDTH_HOST}
OtherHostName=${RAVELINK_OTHER_WIDTH_HOST}
InfoPlugin=$<TARGET_FILE_NAME:ravelink_info>
License=LICENSE.txt
cmake=${CMAKE_COMMAND}
upgrade_script=${CMAKE_CURRENT_LIST_DIR}/MsiSameVersionUpgrade.cmake
")
set(RAVELINK_MSI_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/msi.py")
find_program(RAVELINK_PYTHON python3 REQUIRED)

function(ravelink_msi output version)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${RAVELINK_PYTHON}" "${RAVELINK_MSI_SCRIPT}" --args-file "${RAVELINK_MSI_ARGS}"
            --version "${version}" --output "${output}"
    DEPENDS ravelink ravelink-host other_width_host ravelink_info "${msi_wxs}"
            "${RAVELINK_MSI_SCRIPT}" "${RAVELINK_MSI_ARGS}"
            "${CMAKE_CURRENT_LIST_DIR}/MsiSameVersionUpgrade.cmake"
            "${PROJECT_BINARY_DIR}/LICENSE.txt"
    COMMENT "Building ${output}"
    VERBATIM)
endfunction()
ravelink_msi("${RAVELINK_MSI}" "${PROJECT_VERSION}")
ravelink_msi("${RAVELINK_TEST_OLD_MSI}" "${RAVELINK_TEST_OLD_VERSION}")
add_custom_target(msi ALL DEPENDS "${RAVELINK_MSI}" "${RAVELINK_TEST_OLD_MSI}")

# The broker service's per-machine installer, from ravelink-broker.wxs, beside the program's (an
# installer is per-user or per-machine, never both):
#   ${RAVELINK_PACKAGE_DIR}/ravelink-broker-<version>-x86.msi or -x64.msi
set(RAVELINK_BROKER_MSI
    "${RAVELINK_PACKAGE_DIR}/ravelink-broker-${PROJECT_VERSION}-${RAVELINK_MSI_ARCH}.msi")
set(RAVELINK_BROKER_MSI_ARGS "${PROJECT_BINARY_DIR}/packaging/msi-broker.args")
file(GENERATE OUTPUT "${RAVELINK_BROKER_MSI_ARGS}" CONTENT "wixl=${RAVELINK_WIXL}
arch=${RAVELINK_MSI_ARCH}
wxs=${CMAKE_CURRENT_LIST_DIR}/ravelink-broker.wxs
sources=${PROJECT_BINARY_DIR}
Version=${PROJECT_VERSION}
Publisher=${RAVELINK_PUBLISHER}
Width=${msi_width}
BrokerGuid=${msi_broker_guid}
ProgramFilesDir=${msi_program_files}
Broker=$<TARGET_FILE_NAME:ravelink-broker>
License=LICENSE.txt
cmake=${CMAKE_COMMAND}
upgrade_script=${CMAKE_CURRENT_LIST_DIR}/MsiSameVersionUpgrade.cmake
")
add_custom_command(OUTPUT "${RAVELINK_BROKER_MSI}"
  COMMAND "${RAVELINK_PYTHON}" "${RAVELINK_MSI_SCRIPT}" --args-file "${RAVELINK_BROKER_MSI_ARGS}"
          --output "${RAVELINK_BROKER_MSI}"
  DEPENDS ravelink-broker "${CMAKE_CURRENT_LIST_DIR}/ravelink-broker.wxs" "${RAVELINK_MSI_SCRIPT}"
          "${RAVELINK_BROKER_MSI_ARGS}" "${CMAKE_CURRENT_LIST_DIR}/MsiSameVersionUpgrade.cmake"
          "${PROJECT_BINARY_DIR}/LICENSE.txt"
  COMMENT "Building ${RAVELINK_BROKER_MSI}"
  VERBATIM)
add_custom_target(msi-broker ALL DEPENDS "${RAVELINK_BROKER_MSI}")

# `make package` builds the release MSI again through this target, signed when it is given a
# certificate in the environment of the build: SIGN_PKCS12 (a .p12 file), SIGN_PASSWORD_FILE (a
# file holding its password) or SIGN_PASSWORD and, optionally, SIGN_TIMESTAMP (an RFC 3161
# timestamp server's URL); see msi.py.
add_custom_target(msi-release
  COMMAND "${RAVELINK_PYTHON}" "${RAVELINK_MSI_SCRIPT}" --args-file "${RAVELINK_MSI_ARGS}"
          --output "${RAVELINK_MSI}" --sign-from-environment
  COMMAND "${RAVELINK_PYTHON}" "${RAVELINK_MSI_SCRIPT}" --args-file "${RAVELINK_BROKER_MSI_ARGS}"
          --output "${RAVELINK_BROKER_MSI}" --sign-from-environment
  DEPENDS ravelink ravelink_info ravelink-broker
  COMMENT "Building ${RAVELINK_MSI} and ${RAVELINK_BROKER_MSI} for release"
  VERBATIM)
