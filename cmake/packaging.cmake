# Installation and the Debian packages. The service is a system service: unless a prefix is
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

# Two packages, one per install component: rtls-quorvane (COMPONENT service, the default
# of every install() that names none) holds the service, its unit, its configuration and
# the operator tools; rtls-quorvane-trial (COMPONENT trial) holds the stand-ins used for
# trials and the demo project.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME service)
set(QUORVANE_TRIAL_DATADIR ${CMAKE_INSTALL_DATADIR}/rtls-quorvane-trial)
set(QUORVANE_MAINTAINER "rtls-quorvane maintainers <maintainers@rtls-quorvane.example.org>"
    CACHE STRING "Maintainer of the Debian packages: \"Name <address>\"")

# The example configuration becomes the installed one (a conffile of the package: an
# upgrade keeps the site's edits). It may hold passwords: not readable by others (the
# package's postinst gives it to group rtls-quorvane, which the service runs as).
install(FILES config/rtls-quorvane.example.json DESTINATION ${QUORVANE_CONFIG_DIR} RENAME rtls-quorvane.json
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
configure_file(packaging/rtls-quorvane.service.in ${PROJECT_BINARY_DIR}/packaging/rtls-quorvane.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/rtls-quorvane.service DESTINATION lib/systemd/system)
install(FILES README.md packaging/grafana/rtls-quorvane-dashboard.json
              packaging/prometheus/rtls-quorvane.rules.yml
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY tools/platform-server/demo-project DESTINATION ${QUORVANE_TRIAL_DATADIR} COMPONENT trial)

# Each package's copyright and changelog (compressed as Debian wants: gzip -9n, no name
# or time stamp inside), and the deliberate exception of the service's package for
# lintian. The changelog's first entry must be this version.
file(STRINGS packaging/debian/changelog quorvane_changelog_head LIMIT_COUNT 1)
if(NOT quorvane_changelog_head MATCHES "^rtls-quorvane \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog does not begin with version ${PROJECT_VERSION}")
endif()
configure_file(packaging/debian/changelog ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
                   COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
                   DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(quorvane_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
foreach(component service trial)
  set(package rtls-quorvane)
  if(component STREQUAL trial)
    set(package rtls-quorvane-trial)
  endif()
  install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
install(FILES packaging/debian/rtls-quorvane.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME rtls-quorvane)

# ---- the .deb packages (`cpack` in the build folder) ------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service trial)
set(CPACK_PACKAGE_NAME rtls-quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUORVANE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries (libjsoncpp, libzmq5, libhiredis, libcurl4, ...) are found by
# dpkg-shlibdeps from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME rtls-quorvane)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# Redis may run on another host. postinst makes the service's system user with adduser;
# merged with the shlibdeps.
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "redis-server")
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "adduser")
string(CONCAT CPACK_DEBIAN_SERVICE_DESCRIPTION
       "RTLS site-server service keeping field devices in step with the project\n"
       "Mirrors the platform's project into Redis, records what tags and anchors\n"
       "report about their parameters, pushes what differs through the gateway's\n"
       "ZeroMQ proxy, and delivers zone alarms, screen texts, TDOA schedules and\n"
       "sleep orders. With the operator tools quorvane-status and\n"
       "quorvane-debug-console, Prometheus alert rules and a Grafana dashboard.")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "${QUORVANE_CONFIG_FILE}\n")
# postinst names the configuration file.
configure_file(packaging/debian/postinst ${PROJECT_BINARY_DIR}/packaging/postinst @ONLY)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/conffiles
    ${PROJECT_BINARY_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)

set(CPACK_DEBIAN_TRIAL_PACKAGE_NAME rtls-quorvane-trial)
set(CPACK_DEBIAN_TRIAL_PACKAGE_SECTION misc)
string(CONCAT CPACK_DEBIAN_TRIAL_DESCRIPTION
       "stand-ins for trials of the rtls-quorvane service\n"
       "A platform server stand-in serving a project from JSON files, a simulator of\n"
       "the gateway's ZeroMQ proxy and the devices behind it, and a generator of\n"
       "projects, with a demo project of 162 devices in\n"
       "/usr/share/rtls-quorvane-trial/demo-project. For test benches and trials,\n"
       "not for the site server.")
include(CPack)
