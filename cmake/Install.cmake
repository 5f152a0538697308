# Install rules and the Debian packages (docs/operations.md).
#
# Two packages, one per CPack component:
#   keltappclient  the program folder /opt/keltappclient: the desktop program,
#                  kelt-cycle, kelt-schema, Config.ini.template and an empty Log/;
#                  the kelt-cycle@ service and timer units.
#   kelt-appserver the stand-in application server in /usr/bin, its service unit
#                  and /etc/default/kelt-appserver.
#
# Destinations are relative to the install prefix, which defaults to / here, so
# `cmake --install build --prefix /scratch/root` and the packages lay out the
# same tree. Every project library is static: the installed programs need only
# the system's Qt and Firebird libraries and carry no RUNPATH.

set(KELT_CLIENT_FOLDER opt/keltappclient)
set(KELT_UNIT_FOLDER lib/systemd/system)

install(TARGETS keltappclient kelt-cycle kelt-schema
        RUNTIME DESTINATION ${KELT_CLIENT_FOLDER} COMPONENT client)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/Config.ini.template
        DESTINATION ${KELT_CLIENT_FOLDER} COMPONENT client)
# The program never creates Log/; the installation provides it.
install(DIRECTORY DESTINATION ${KELT_CLIENT_FOLDER}/Log COMPONENT client)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/kelt-cycle@.service
              ${PROJECT_SOURCE_DIR}/packaging/systemd/kelt-cycle@.timer
        DESTINATION ${KELT_UNIT_FOLDER} COMPONENT client)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION usr/share/doc/keltappclient
        COMPONENT client FILES_MATCHING PATTERN "*.md")

install(TARGETS kelt-appserver RUNTIME DESTINATION usr/bin COMPONENT appserver)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/kelt-appserver.service
        DESTINATION ${KELT_UNIT_FOLDER} COMPONENT appserver)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default/kelt-appserver
        DESTINATION etc/default COMPONENT appserver)
install(FILES ${PROJECT_SOURCE_DIR}/docs/appserver.md ${PROJECT_SOURCE_DIR}/docs/remote-protocol.md
        DESTINATION usr/share/doc/kelt-appserver COMPONENT appserver)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keltappclient)
set(CPACK_PACKAGE_VENDOR "KeltAppClient")
set(CPACK_PACKAGE_CONTACT "KeltAppClient maintainers <keltappclient@localhost>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL client appserver)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# gzip: xz takes several times longer on the two binaries for little gain.
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
# Library dependencies come from the binaries (dpkg-shlibdeps); what they load
# at run time is added by hand: the embedded Firebird engine (a database path
# without a host) with its character sets and configuration.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME keltappclient)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "firebird3.0-server-core, firebird3.0-common")
set(CPACK_DEBIAN_CLIENT_PACKAGE_SUGGESTS "kelt-appserver, firebird3.0-server, firebird3.0-utils")
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
    "Replication client of the chain's installations\n The desktop program KeltAppClient, the headless cycle runner kelt-cycle and\n the schema builder kelt-schema in /opt/keltappclient, with a commented\n Config.ini template and systemd units to run kelt-cycle on a timer.")
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_APPSERVER_PACKAGE_NAME kelt-appserver)
set(CPACK_DEBIAN_APPSERVER_PACKAGE_DEPENDS "firebird3.0-server-core, firebird3.0-common")
set(CPACK_DEBIAN_APPSERVER_DESCRIPTION
    "Stand-in application server for KeltAppClient\n Serves the replication channels' server objects from an embedded Firebird\n database of its own, for trials and tests without the chain's servers.")
set(CPACK_DEBIAN_APPSERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/appserver/conffiles)
include(CPack)
