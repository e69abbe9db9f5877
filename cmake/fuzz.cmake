# Fuzzing with libFuzzer: -DQUOREL_FUZZ=ON (with clang) builds one fuzzer per fuzz/<name>.cpp, as
# quorel-fuzz-<name>. The updater's libraries are built with the fuzzer's coverage instrumentation
# and with AddressSanitizer and UndefinedBehaviorSanitizer, so every program that links them links
# the sanitizers too. scripts/fuzz.sh builds these in build-fuzz and runs each over its seed
# corpus in fuzz/corpus/<name>/.

option(QUOREL_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(QUOREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR
      "QUOREL_FUZZ needs clang, which brings libFuzzer; this build uses ${CMAKE_CXX_COMPILER_ID} "
      "(${CMAKE_CXX_COMPILER}). Configure a separate build directory with "
      "-DCMAKE_CXX_COMPILER=clang++, or run scripts/fuzz.sh.")
  endif()

  set(QUOREL_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  foreach(library quorel_product quorel_sim ${QUOREL_TOOL_LIBRARIES} quorel_payload_gen)
    target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link ${QUOREL_FUZZ_SANITIZERS})
  endforeach()

  # The programs and tests that link the instrumented library need the sanitizer runtimes.
  set(QUOREL_CORE_USERS quorel-update quorel-payload-gen ${QUOREL_TOOL_PROGRAMS})
  if(TARGET quorel_tests)
    list(APPEND QUOREL_CORE_USERS quorel_tests)
  endif()
  foreach(user ${QUOREL_CORE_USERS})
    target_link_options(${user} PRIVATE -fsanitize=address,undefined)
  endforeach()

  file(GLOB QUOREL_FUZZ_SOURCES CONFIGURE_DEPENDS fuzz/*.cpp)
  foreach(fuzz_source ${QUOREL_FUZZ_SOURCES})
    get_filename_component(fuzz_name ${fuzz_source} NAME_WE)
    add_executable(quorel-fuzz-${fuzz_name} ${fuzz_source})
    target_compile_options(quorel-fuzz-${fuzz_name} PRIVATE -fsanitize=fuzzer
                           ${QUOREL_FUZZ_SANITIZERS})
    target_link_options(quorel-fuzz-${fuzz_name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(quorel-fuzz-${fuzz_name} PRIVATE quorel_soak quorel_payload_gen)
  endforeach()
endif()
