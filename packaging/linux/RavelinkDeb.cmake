# The Linux release package, made by CPack from this project's install rules: `make package` (or the
# build tree's `package` target) writes ${RAVELINK_PACKAGE_DIR}/ravelink_<version>_<arch>.deb holding
#   /usr/bin/ravelink                           the program
#   /usr/bin/ravelink-host                      the host process of isolated modules
#   /usr/bin/ravelink-broker                    the broker, for machines with several users at once
#   /usr/lib/libravelink_info.so                the information plug-in, where dlopen finds a bare name
#   /usr/lib/systemd/user/ravelink.service      the user unit, enabled for every user by postinst on
#                                               the first install
#   /usr/lib/systemd/system/ravelink-broker.service   the broker's system unit, installed disabled:
#                                               an administrator enables it
#   /usr/include/ravelink/, /usr/lib/cmake/ravelink/   the plug-in SDK (header and CMake package)
#   /usr/share/doc/ravelink/                    copyright, changelog, the installation and the
#                                               administrators' guides

set(RAVELINK_MAINTAINER "The ravelink developers <ravelink@example.org>" CACHE STRING
    "Maintainer field of the Debian package (name <address>)")

set(deb_dir "${CMAKE_CURRENT_LIST_DIR}")
set(deb_out "${PROJECT_BINARY_DIR}/packaging")

# The units name their programs under the prefix of the install that writes them (/usr for the
# package, PREFIX for `make install`), so they are written at install time.
install(CODE "
  set(RAVELINK_UNIT_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/bin/ravelink\")
  configure_file(\"${deb_dir}/ravelink.service.in\" \"${deb_out}/ravelink.service\" @ONLY)
  set(RAVELINK_BROKER_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/bin/ravelink-broker\")
  configure_file(\"${deb_dir}/ravelink-broker.service.in\" \"${deb_out}/ravelink-broker.service\" @ONLY)")
install(FILES "${deb_out}/ravelink.service" DESTINATION lib/systemd/user)
install(FILES "${deb_out}/ravelink-broker.service" DESTINATION lib/systemd/system)

string(TIMESTAMP RAVELINK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${deb_dir}/changelog.in" "${deb_out}/changelog" @ONLY)
install(CODE "
  execute_process(COMMAND gzip -9nc \"${deb_out}/changelog\"
                  OUTPUT_FILE \"${deb_out}/changelog.gz\" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR \"gzip of ${deb_out}/changelog failed\")
  endif()")
install(FILES "${deb_dir}/copyright" "${deb_out}/changelog.gz" "${PROJECT_SOURCE_DIR}/docs/installing.md"
              "${PROJECT_SOURCE_DIR}/docs/administrators.md"
        DESTINATION share/doc/ravelink)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ravelink)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "${RAVELINK_PUBLISHER}")
set(CPACK_OUTPUT_FILE_PREFIX "${RAVELINK_PACKAGE_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(RAVELINK_DEB
    "${RAVELINK_PACKAGE_DIR}/ravelink_${PROJECT_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RAVELINK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "native plug-ins for web pages on this machine
ravelink is a small background program that lets web pages, in any browser on
the same machine, call native plug-in modules over a WebSocket on
ws://127.0.0.1:7321. The package starts it in every user's session (a systemd
user unit) and carries the plug-in SDK: the C header and a CMake package.
.
For machines where several people are logged on at once, it also carries
ravelink-broker, a system service that is installed disabled: once an
administrator enables it, it owns the port and hands each page's connection
to the copy of ravelink of the page's own user.")
# triggers: ldconfig runs after install and removal, for the library in /usr/lib.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${deb_dir}/postinst;${deb_dir}/prerm;${deb_dir}/postrm;${deb_dir}/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
