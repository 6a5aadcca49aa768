# Install layout and the Debian package.  Everything goes under the prefix
# chosen when configuring, which also fixes the configuration path compiled
# into the programs: the two programs in sbin (both are for the
# administrator, and quelld-check explains what the daemon in the same
# directory will do), the manual pages, the sample configuration, and the
# service and log-rotation files of the system built on.  Files for /etc go
# to the prefix's configuration directory: /etc for /usr, /usr/local/etc for
# /usr/local.

set(QUELLD_SBIN "${CMAKE_INSTALL_FULL_SBINDIR}")
set(QUELLD_GEN "${CMAKE_BINARY_DIR}/dist")

foreach(page quelld.8 quelld-check.8 quelld.cf.5)
  configure_file(doc/${page}.in ${QUELLD_GEN}/${page} @ONLY)
endforeach()
configure_file(dist/linux/quelld.service.in ${QUELLD_GEN}/quelld.service @ONLY)
# Made on every system, so that its syntax is checked where we build.
configure_file(dist/freebsd/quelld.in ${QUELLD_GEN}/quelld.rc @ONLY)

install(TARGETS quelld quelld-check RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${QUELLD_GEN}/quelld.8 ${QUELLD_GEN}/quelld-check.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${QUELLD_GEN}/quelld.cf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
# Only the sample: the administrator's quelld.cf is never installed, so never
# overwritten.
install(FILES dist/quelld.cf.sample DESTINATION ${QUELLD_CONF_DIR})
if(QUELLD_OS STREQUAL "freebsd")
  install(PROGRAMS ${QUELLD_GEN}/quelld.rc
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/rc.d RENAME quelld)
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
foreach(script postinst prerm postrm)
  file(COPY dist/debian/${script} DESTINATION ${CMAKE_BINARY_DIR}/debian
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/conffiles ${CMAKE_BINARY_DIR}/debian/postinst
  ${CMAKE_BINARY_DIR}/debian/prerm ${CMAKE_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
