# The firmware payload: the release's two images and its release table become C++ source at
# build time. quorel-payload-gen checks the inputs and stops the build with a message naming the
# file and the fault when they do not fit the updater. Point the three variables at a release's
# own files to build an updater for that release; the defaults are deterministic sample data
# (see data/payload/make_sample_images.py).

set(QUOREL_SW_IMAGE "${CMAKE_CURRENT_SOURCE_DIR}/data/payload/sw_image.bin" CACHE FILEPATH
  "Main firmware image: unit addresses 0x00000..0x20731, 0x20732 bytes")
set(QUOREL_HW_IMAGE "${CMAKE_CURRENT_SOURCE_DIR}/data/payload/hw_image.bin" CACHE FILEPATH
  "Second firmware image: unit addresses 0x40000..0x6C01D, 0x2C01E bytes")
set(QUOREL_RELEASE_TABLE "${CMAKE_CURRENT_SOURCE_DIR}/data/payload/release_table.txt" CACHE
  FILEPATH "Release table text: the payload's model and release, and the known firmware builds")

# A host tool: it shares only the payload header's sizes with the updater, not its library.
# When cross-compiling it is built for the build machine: QUOREL_HOST_PAYLOAD_GEN names one
# built already (for example in the native build tree), or else it is built here as a separate
# project with the build machine's compiler.
set(QUOREL_HOST_PAYLOAD_GEN "" CACHE FILEPATH
  "Cross builds: a quorel-payload-gen built for the build machine (empty: build one)")
if(NOT CMAKE_CROSSCOMPILING)
  add_library(quorel_payload_gen STATIC src/payload/gen/payload_gen.cpp)
  target_include_directories(quorel_payload_gen PUBLIC src)
  add_executable(quorel-payload-gen src/payload/gen/payload_gen_main.cpp)
  target_link_libraries(quorel-payload-gen PRIVATE quorel_payload_gen)
  set(QUOREL_PAYLOAD_GEN_COMMAND quorel-payload-gen)
  set(QUOREL_PAYLOAD_GEN_DEPENDS quorel-payload-gen)
elseif(QUOREL_HOST_PAYLOAD_GEN)
  set(QUOREL_PAYLOAD_GEN_COMMAND "${QUOREL_HOST_PAYLOAD_GEN}")
  set(QUOREL_PAYLOAD_GEN_DEPENDS "${QUOREL_HOST_PAYLOAD_GEN}")
else()
  include(ExternalProject)
  set(QUOREL_HOST_TOOLS_DIR "${CMAKE_CURRENT_BINARY_DIR}/host-tools")
  ExternalProject_Add(quorel-host-tools
    SOURCE_DIR "${CMAKE_CURRENT_SOURCE_DIR}/cmake/host-tools"
    BINARY_DIR "${QUOREL_HOST_TOOLS_DIR}/build"
    INSTALL_DIR "${QUOREL_HOST_TOOLS_DIR}"
    # No toolchain file and the build machine's own compiler.
    CMAKE_ARGS -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR> -DCMAKE_BUILD_TYPE=Release
    BUILD_BYPRODUCTS "${QUOREL_HOST_TOOLS_DIR}/bin/quorel-payload-gen"
    BUILD_ALWAYS ON)
  set(QUOREL_PAYLOAD_GEN_COMMAND "${QUOREL_HOST_TOOLS_DIR}/bin/quorel-payload-gen")
  set(QUOREL_PAYLOAD_GEN_DEPENDS quorel-host-tools "${QUOREL_PAYLOAD_GEN_COMMAND}")
endif()

set(QUOREL_PAYLOAD_SOURCE "${CMAKE_CURRENT_BINARY_DIR}/generated/payload_data.cpp")
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/generated")
add_custom_command(
  OUTPUT "${QUOREL_PAYLOAD_SOURCE}"
  COMMAND ${QUOREL_PAYLOAD_GEN_COMMAND} "${QUOREL_SW_IMAGE}" "${QUOREL_HW_IMAGE}" "${QUOREL_RELEASE_TABLE}"
          "${QUOREL_PAYLOAD_SOURCE}"
  DEPENDS ${QUOREL_PAYLOAD_GEN_DEPENDS} "${QUOREL_SW_IMAGE}" "${QUOREL_HW_IMAGE}" "${QUOREL_RELEASE_TABLE}"
  COMMENT "Generating the firmware payload source"
  VERBATIM)
