# What an install puts where, and the release packages CPack makes from it (scripts/release.sh):
#   Linux: bin/quorel-update, its manual page, the README and the bash completion; packed as a
#          .tar.gz (TGZ) and a .deb (DEB).
#   Windows: quorel-update.exe and README-Windows.txt, side by side; packed as a .zip (ZIP).
# The package file names carry the payload's release code, which is known once the payload is
# built: cmake/package-names.cmake sets them when cpack runs.
include(GNUInstallDirs)

set(QUOREL_PACKAGE_MAINTAINER "Quorel updater team <updater@quorel.example>" CACHE STRING
  "The .deb's Maintainer field: NAME <EMAIL> of whoever answers for the release")
set(QUOREL_PACKAGING_DIR "${CMAKE_CURRENT_BINARY_DIR}/packaging")

if(WIN32)
  install(TARGETS quorel-update RUNTIME DESTINATION .)
  # Read in Notepad, so Windows line ends.
  configure_file(packaging/README-Windows.txt "${QUOREL_PACKAGING_DIR}/README-Windows.txt" @ONLY
    NEWLINE_STYLE CRLF)
  install(FILES "${QUOREL_PACKAGING_DIR}/README-Windows.txt" DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_QUOREL_SYSTEM windows-x64)
else()
  install(TARGETS quorel-update RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  # The manual page carries the version; installed compressed, as man reads it and Debian wants.
  configure_file(packaging/quorel-update.1 "${QUOREL_PACKAGING_DIR}/quorel-update.1" @ONLY)
  find_program(QUOREL_GZIP gzip REQUIRED)
  set(QUOREL_MANUAL_GZ "${QUOREL_PACKAGING_DIR}/man1/quorel-update.1.gz")
  add_custom_command(
    OUTPUT "${QUOREL_MANUAL_GZ}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${QUOREL_PACKAGING_DIR}/quorel-update.1"
            "${QUOREL_PACKAGING_DIR}/man1/quorel-update.1"
    COMMAND "${QUOREL_GZIP}" -9nf "${QUOREL_PACKAGING_DIR}/man1/quorel-update.1"
    DEPENDS "${QUOREL_PACKAGING_DIR}/quorel-update.1"
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(quorel-manual ALL DEPENDS "${QUOREL_MANUAL_GZ}")
  install(FILES "${QUOREL_MANUAL_GZ}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES README.md packaging/copyright
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/quorel-update")
  install(FILES packaging/quorel-update.bash-completion
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions" RENAME quorel-update)
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_QUOREL_SYSTEM linux-x86_64)
  if(NOT CMAKE_CROSSCOMPILING)
    # package-names.cmake asks this program for the payload's release code.
    set(CPACK_QUOREL_UPDATER "${CMAKE_CURRENT_BINARY_DIR}/quorel-update")
  endif()
endif()

set(CPACK_PACKAGE_NAME quorel-update)
set(CPACK_PACKAGE_VENDOR "Quorel updater team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "firmware updater for Quorel and QuorelPro video processors")
set(CPACK_PACKAGE_DESCRIPTION "\
quorel-update updates the firmware of a Quorel or QuorelPro video processor
over an RS232 null-modem cable, usually through a USB-serial adapter. Each
build carries one firmware release; quorel-update --version names it.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_SOURCE_DIR}/cmake/package-names.cmake")

# The .deb: one statically linked program, no dependencies; a note on the dialout group at the
# first install (postinst).
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUOREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The changelog entry and the lintian override, written once the release code is known (needs
# CMake 3.19 or later at packing time).
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb-extras.cmake")

include(CPack)
