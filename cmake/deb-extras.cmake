# Run by cpack once the files of a package are staged (CPACK_PRE_BUILD_SCRIPTS). For the .deb
# it adds what Debian expects of every package and that depends on the release being packed:
# the changelog entry of this version, and the lintian override that says the static linking is
# on purpose (the program must run on any x86-64 Linux, whatever its libraries).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(usr "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
file(WRITE "${doc}/changelog.Debian" "\
${CPACK_PACKAGE_NAME} (${version}) stable; urgency=medium

  * quorel-update ${CPACK_PACKAGE_VERSION} carrying firmware release ${CPACK_DEBIAN_PACKAGE_RELEASE}.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}
")
execute_process(COMMAND gzip -9nf "${doc}/changelog.Debian" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${doc}/changelog.Debian")
endif()

file(WRITE "${usr}/share/lintian/overrides/${CPACK_PACKAGE_NAME}"
  "${CPACK_PACKAGE_NAME}: statically-linked-binary [usr/bin/quorel-update]\n")
