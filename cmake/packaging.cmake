# Installation and the Debian package. The service is a system service: unless a prefix is
# given, it installs under /usr like the package does, so GNUInstallDirs puts the
# configuration in /etc/rtls-quorvane and the unit in /usr/lib/systemd/system. With another
# prefix (-DCMAKE_INSTALL_PREFIX=/opt/x) everything moves under it; for a staging tree use
# DESTDIR (`DESTDIR=/tmp/stage cmake --install build`), since /etc stays absolute.
# Included before GNUInstallDirs: the prefix decides its full paths.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(QUORVANE_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/rtls-quorvane)
set(QUORVANE_CONFIG_FILE ${QUORVANE_CONFIG_DIR}/rtls-quorvane.json)
set(QUORVANE_SBIN ${CMAKE_INSTALL_FULL_SBINDIR})
# The unit names the pid file that the installed configuration names; it lies in the
# runtime folder that systemd makes for the service's user (/run/<folder>/...).
file(READ ${PROJECT_SOURCE_DIR}/config/rtls-quorvane.example.json quorvane_example_config)
string(JSON QUORVANE_PIDFILE GET "${quorvane_example_config}" system pidfile)
if(NOT QUORVANE_PIDFILE MATCHES "^/run/([^/]+)/[^/]+$")
  message(FATAL_ERROR "system.pidfile of the example configuration must lie in a folder of /run: ${QUORVANE_PIDFILE}")
endif()
set(QUORVANE_RUNTIME_DIR ${CMAKE_MATCH_1})

# The example configuration becomes the installed one (a conffile of the package: an
# upgrade keeps the site's edits). It may hold passwords: not readable by others (the
# package's postinst gives it to group rtls-quorvane, which the service runs as).
install(FILES config/rtls-quorvane.example.json DESTINATION ${QUORVANE_CONFIG_DIR} RENAME rtls-quorvane.json
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
configure_file(packaging/rtls-quorvane.service.in ${PROJECT_BINARY_DIR}/packaging/rtls-quorvane.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/rtls-quorvane.service DESTINATION lib/systemd/system)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/grafana/rtls-quorvane-dashboard.json DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- the .deb (`cpack` in the build folder) ---------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rtls-quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "rtls-quorvane developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RTLS site-server service keeping field devices in step with the platform project")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Mirrors the platform's project into Redis, records what tags and anchors report about\n"
       "their parameters, pushes what differs through the gateway's ZeroMQ proxy, and delivers\n"
       "zone alarms, screen texts, TDOA schedules and sleep orders. With the operator tools\n"
       "quorvane-status and quorvane-debug-console, and the stand-ins used for trials\n"
       "(platform server, device simulator, project generator).")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries (libjsoncpp, libzmq5, libhiredis, libcurl4, ...) are found by
# dpkg-shlibdeps from the binaries; Redis may run on another host.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "redis-server")
# postinst makes the service's system user with adduser; merged with the shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "${QUORVANE_CONFIG_FILE}\n")
# postinst names the configuration file.
configure_file(packaging/debian/postinst ${PROJECT_BINARY_DIR}/packaging/postinst @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/conffiles
    ${PROJECT_BINARY_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
