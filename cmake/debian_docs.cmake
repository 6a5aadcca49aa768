# Run by cpack once the files are staged, before they are packed: puts the
# two files every Debian package carries in its documentation directory, the
# copyright file in Debian's machine-readable form and the changelog made
# from NEWS.  They belong to the package, not to an install from the build
# tree, and name the maintainer the package is built by.

if(CPACK_DEBIAN_PACKAGE_MAINTAINER STREQUAL "")
  message(FATAL_ERROR "quelld: no maintainer for the Debian package: "
    "configure with -DQUELLD_MAINTAINER=\"Name <address>\"")
endif()
set(src ${CPACK_QUELLD_SOURCE_DIR})
set(doc ${CPACK_TEMPORARY_DIRECTORY}${CPACK_QUELLD_DOCDIR})
file(MAKE_DIRECTORY ${doc})

# The licence's conditions, indented as a continued field: an empty line
# becomes " .".
file(READ ${src}/LICENSE licence)
string(REGEX REPLACE "^.*\n\n(Redistribution)" "\\1" licence "${licence}")
string(REGEX REPLACE "\n+$" "" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
set(QUELLD_LICENSE_TEXT " ${licence}")
configure_file(${src}/dist/debian/copyright.in ${doc}/copyright @ONLY)

include(${src}/cmake/debian_changelog.cmake)
quelld_debian_changelog(${src}/NEWS ${CPACK_PACKAGE_VERSION}
  "${CPACK_DEBIAN_PACKAGE_MAINTAINER}" ${doc}/changelog)
execute_process(COMMAND gzip -9nf changelog WORKING_DIRECTORY ${doc}
  COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD ${doc}/copyright ${doc}/changelog.gz
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
