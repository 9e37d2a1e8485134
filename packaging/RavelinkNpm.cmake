# The page client as an npm package: `npm-package` writes
# ${RAVELINK_PACKAGE_DIR}/ravelink-client-<version>.tgz. The files are staged first and stamped with
# the project's version, so the tarball's version is always the program's. The licence (LICENSE of
# the source tree, "license": "MIT") is checked in the packed tarball itself.
find_program(RAVELINK_NPM npm)
if(NOT RAVELINK_NPM)
  return()
endif()
set(npm_stage "${PROJECT_BINARY_DIR}/npm-client")
set(RAVELINK_NPM_PACKAGE "${RAVELINK_PACKAGE_DIR}/ravelink-client-${PROJECT_VERSION}.tgz")
set(npm_files package.json ravelink.js ravelink.d.ts README.md)
list(TRANSFORM npm_files PREPEND "${PROJECT_SOURCE_DIR}/client/" OUTPUT_VARIABLE npm_sources)
list(APPEND npm_sources "${PROJECT_SOURCE_DIR}/LICENSE")
file(MAKE_DIRECTORY "${npm_stage}")
add_custom_command(OUTPUT "${RAVELINK_NPM_PACKAGE}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${RAVELINK_PACKAGE_DIR}"
  COMMAND "${CMAKE_COMMAND}" -E copy ${npm_sources} "${npm_stage}"
  COMMAND "${RAVELINK_NPM}" pkg set "version=${PROJECT_VERSION}"
  COMMAND "${RAVELINK_NPM}" pack --silent --pack-destination "${RAVELINK_PACKAGE_DIR}"
  COMMAND "${CMAKE_COMMAND}" -DTARBALL=${RAVELINK_NPM_PACKAGE}
          -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE -P "${CMAKE_CURRENT_LIST_DIR}/NpmLicenseCheck.cmake"
  WORKING_DIRECTORY "${npm_stage}"
  DEPENDS ${npm_sources}
  COMMENT "Packing the page client into ${RAVELINK_NPM_PACKAGE}"
  VERBATIM)
add_custom_target(npm-package DEPENDS "${RAVELINK_NPM_PACKAGE}")
