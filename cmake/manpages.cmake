# Manual pages, made at build time by help2man from each program's --help and the
# sections of packaging/man/<program>.h2m (configuration, exit status, files, signals,
# examples), so that a page cannot list other options than its program takes
# (scripts/check-manpages compares them). Installed compressed, with the program's
# package. Included after the programs' targets exist.
find_program(QUORVANE_HELP2MAN help2man)
if(NOT QUORVANE_HELP2MAN)
  message(WARNING "help2man not found (scripts/install-deps installs it): no manual pages")
  return()
endif()
# The date in the pages is the date of the changelog's first entry (reproducible builds).
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog quorvane_changelog_dates REGEX "^ -- .*  ")
list(GET quorvane_changelog_dates 0 quorvane_changelog_date)
string(REGEX REPLACE "^ -- .*  " "" quorvane_changelog_date "${quorvane_changelog_date}")
execute_process(COMMAND date -d "${quorvane_changelog_date}" +%s OUTPUT_VARIABLE quorvane_source_date
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(QUORVANE_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(quorvane_man_pages)
# quorvane_manpage(PROGRAM SECTION COMPONENT SUMMARY)
function(quorvane_manpage program section component summary)
  set(include ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
  set(page ${QUORVANE_MAN_DIR}/${program}.${section})
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVANE_MAN_DIR}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${quorvane_source_date}
            ${QUORVANE_HELP2MAN} --no-info --section=${section} --name=${summary}
            --version-string=${PROJECT_VERSION} --include=${include} --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${include} VERBATIM)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  set(quorvane_man_pages ${quorvane_man_pages} ${page}.gz PARENT_SCOPE)
endfunction()

quorvane_manpage(rtls-quorvane 8 service "RTLS site-server service keeping field devices in step with the project")
quorvane_manpage(quorvane-status 1 service "show which device parameters are in step with the project")
quorvane_manpage(quorvane-debug-console 1 service "print the debug stream of rtls-quorvane")
quorvane_manpage(quorvane-platform-server 1 trial "platform server stand-in for trials of rtls-quorvane")
quorvane_manpage(quorvane-device-sim 1 trial "stand-in for the gateway's ZeroMQ proxy and the devices")
quorvane_manpage(quorvane-make-project 1 trial "generate projects for the platform server stand-in")
add_custom_target(quorvane_manpages ALL DEPENDS ${quorvane_man_pages})
