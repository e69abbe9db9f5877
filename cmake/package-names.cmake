# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE). The file names carry
# the updater's version and the payload's release code as `quorel-update --version` prints them
# ("quorel-update 1.1.0", "firmware: QuorelPro release 020904, ..."):
#   quorel-update-VERSION-RELEASE-linux-x86_64.tar.gz, quorel-update_VERSION-RELEASE_amd64.deb,
#   quorel-update-VERSION-RELEASE-windows-x64.zip
# A native build asks its own quorel-update; a cross build is told: cpack -D
# QUOREL_PAYLOAD_RELEASE=CODE (scripts/release.sh passes what the Linux program printed).
if(NOT QUOREL_PAYLOAD_RELEASE)
  if(NOT CPACK_QUOREL_UPDATER)
    message(FATAL_ERROR "The payload's release code is needed for the file names: "
      "cpack -D QUOREL_PAYLOAD_RELEASE=CODE (scripts/release.sh passes it)")
  endif()
  execute_process(COMMAND "${CPACK_QUOREL_UPDATER}" --version
    OUTPUT_VARIABLE quorel_version_text RESULT_VARIABLE quorel_status TIMEOUT 60)
  if(NOT quorel_status EQUAL 0 OR NOT quorel_version_text MATCHES "release ([0-9a-f]+),")
    message(FATAL_ERROR "${CPACK_QUOREL_UPDATER} --version did not name the payload's release "
      "(status ${quorel_status}): ${quorel_version_text}")
  endif()
  set(QUOREL_PAYLOAD_RELEASE "${CMAKE_MATCH_1}")
endif()
set(CPACK_PACKAGE_FILE_NAME
  "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${QUOREL_PAYLOAD_RELEASE}-${CPACK_QUOREL_SYSTEM}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${QUOREL_PAYLOAD_RELEASE}")
