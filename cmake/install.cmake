# Install layout and the Debian package.  Everything goes under the prefix
# chosen when configuring, which also fixes the configuration path compiled
# into the programs: the two programs in sbin (both are for the
# administrator, and quelld-check explains what the daemon in the same
# directory will do), the manual pages, the sample configuration, and the
# service and log-rotation files of the layout chosen.  Files for /etc go
# to the prefix's configuration directory: /etc for /usr, /usr/local/etc for
# /usr/local.

# The layout is that of the system built on unless set: the FreeBSD one can
# be staged anywhere, so that the port's file list is checked against it.
set(QUELLD_LAYOUT "${QUELLD_OS}" CACHE STRING
  "Install the service and log files of this system: linux or freebsd")
set_property(CACHE QUELLD_LAYOUT PROPERTY STRINGS linux freebsd)
if(NOT QUELLD_LAYOUT MATCHES "^(linux|freebsd)$")
  message(FATAL_ERROR "QUELLD_LAYOUT is ${QUELLD_LAYOUT}: it must be linux or freebsd")
endif()

set(QUELLD_SBIN "${CMAKE_INSTALL_FULL_SBINDIR}")
set(QUELLD_GEN "${CMAKE_BINARY_DIR}/dist")

# The manual pages are installed compressed with gzip -9n, as both systems
# keep theirs; -n leaves out the time, so the same source makes the same file.
set(QUELLD_PAGES "")
foreach(page quelld.8 quelld-check.8 quelld.cf.5)
  configure_file(doc/${page}.in ${QUELLD_GEN}/${page} @ONLY)
  add_custom_command(OUTPUT ${QUELLD_GEN}/${page}.gz
    COMMAND gzip -9nkf ${page}
    DEPENDS ${QUELLD_GEN}/${page}
    WORKING_DIRECTORY ${QUELLD_GEN} VERBATIM)
  list(APPEND QUELLD_PAGES ${QUELLD_GEN}/${page}.gz)
endforeach()
configure_file(dist/linux/quelld.service.in ${QUELLD_GEN}/quelld.service @ONLY)
# Made on every system, so that its syntax is checked where we build.
configure_file(dist/freebsd/quelld.in ${QUELLD_GEN}/quelld.rc @ONLY)

install(TARGETS quelld quelld-check RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${QUELLD_GEN}/quelld.8.gz ${QUELLD_GEN}/quelld-check.8.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${QUELLD_GEN}/quelld.cf.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
# Only the sample: the administrator's quelld.cf is never installed, so never
# overwritten.
install(FILES dist/quelld.cf.sample DESTINATION ${QUELLD_CONF_DIR})
if(QUELLD_LAYOUT STREQUAL "freebsd")
  # A port leaves the script to USE_RC_SUBR, which installs its own copy.
  option(QUELLD_INSTALL_RC "Install the rc.d script" ON)
  if(QUELLD_INSTALL_RC)
    install(PROGRAMS ${QUELLD_GEN}/quelld.rc
      DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/rc.d RENAME quelld)
  endif()
  install(FILES dist/freebsd/quelld.newsyslog.conf
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/newsyslog.conf.d RENAME quelld.conf)
  set(QUELLD_CONFFILES "${CMAKE_INSTALL_FULL_SYSCONFDIR}/newsyslog.conf.d/quelld.conf")
else()
  # systemd reads units from /usr/lib/systemd/system and /usr/local/lib/systemd/system.
  install(FILES ${QUELLD_GEN}/quelld.service DESTINATION lib/systemd/system)
  install(FILES dist/linux/quelld.logrotate
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME quelld)
  set(QUELLD_CONFFILES "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/quelld")
endif()
add_custom_target(quelld_gzip ALL DEPENDS ${QUELLD_PAGES})

# The Debian package: "cpack --preset package" after building that preset
# (prefix /usr, the C++ runtime linked in), or cpack in any build tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUELLD_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUELLD_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "log out idle terminals and enforce a login policy")
set(CPACK_PACKAGE_DESCRIPTION
  "quelld watches the terminal logins of a multi-user host and logs out
sessions that have been idle too long, limits how long sessions last and
how many logins a user or a group may hold, and refuses listed users,
warning on the terminal before it acts.  quelld-check checks its
configuration and explains the policy a login gets.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# libc from the programs themselves, and nothing else: a logout finds a
# terminal's processes in /proc.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Some destinations are absolute (/etc for prefix /usr).
set(CPACK_SET_DESTDIR ON)
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
  "${QUELLD_CONF_DIR}/quelld.cf.sample\n${QUELLD_CONFFILES}\n")
# Copied with configure_file, so that a changed script is copied again.
foreach(script postinst prerm postrm)
  configure_file(dist/debian/${script} ${CMAKE_BINARY_DIR}/debian/${script} COPYONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/conffiles ${CMAKE_BINARY_DIR}/debian/postinst
  ${CMAKE_BINARY_DIR}/debian/prerm ${CMAKE_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_QUELLD_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
set(CPACK_QUELLD_DOCDIR "${CMAKE_INSTALL_FULL_DOCDIR}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_SOURCE_DIR}/cmake/debian_docs.cmake")
include(CPack)
