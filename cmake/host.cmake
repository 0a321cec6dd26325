# Host build: the packer and the demo-payload generator, the unit tests over the fake
# platform, the fuzz target and the end-to-end tests under Wine. Everything here runs
# under AddressSanitizer and UndefinedBehaviorSanitizer unless TQ30_SANITIZE is off.
option(TQ30_SANITIZE "Build host code with ASan and UBSan" ON)
option(TQ30_FUZZ "Build the image reader's libFuzzer target (clang only)" OFF)
if(TQ30_SANITIZE)
  add_compile_options(-O1 -fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TQ30_FUZZ)
  # Coverage feedback from the reader itself, not only from the fuzz entry point.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

enable_testing()

add_library(pack_library STATIC
  tools/pack/io/cleanup_registry.cpp
  tools/pack/pe/image_file.cpp
  tools/pack/io/sha256.cpp
  tools/pack/io/folder_walk.cpp
  tools/pack/io/output_folder.cpp
  tools/pack/io/output_naming.cpp
  tools/pack/io/shown.cpp
  tools/pack/io/system_io.cpp
  tools/pack/payload/ceiling.cpp
  tools/pack/payload/manifest.cpp
  tools/pack/payload/payload_folder.cpp
  tools/pack/pe/authenticode.cpp
  tools/pack/pe/image_checksum.cpp
  tools/pack/pe/loader_checks.cpp
  tools/pack/pe/pe_image.cpp
  tools/pack/pe/pe_records.cpp
  tools/pack/store/size_table.cpp
  tools/pack/store/pack_image.cpp
  tools/pack/store/payload_comparison.cpp
  tools/pack/store/store_layout.cpp
  tools/pack/store/store_reader.cpp
  tools/pack/store/store_verify.cpp)
target_include_directories(pack_library PUBLIC tools/pack src/payload)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(pack_library PUBLIC OpenSSL::Crypto)

# The commit --version names, rewritten only when it changes; the launchers' bytes do not
# depend on it, so two builds of one tree stay identical.
set(pack_commit_dir "${CMAKE_CURRENT_BINARY_DIR}/pack_commit")
add_custom_target(pack_commit
  COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
          "-DOUTPUT=${pack_commit_dir}/pack_commit.h" -P "${PROJECT_SOURCE_DIR}/cmake/pack-commit.cmake"
  BYPRODUCTS "${pack_commit_dir}/pack_commit.h"
  VERBATIM)

# The verb table, its handlers and the command line, shared by the packer and the program that
# writes its manual page from the same table.
add_library(pack_commands STATIC
  tools/pack/selfinst_pack.cpp
  tools/pack/cli/command_line.cpp
  tools/pack/cli/json_output.cpp
  tools/pack/cli/json_text.cpp
  tools/pack/cli/messages.cpp
  tools/pack/cli/progress.cpp
  tools/pack/cli/version.cpp
  tools/pack/verbs/check.cpp
  tools/pack/verbs/extract.cpp
  tools/pack/verbs/limits.cpp
  tools/pack/verbs/list.cpp
  tools/pack/verbs/loaded_inputs.cpp
  tools/pack/verbs/names.cpp
  tools/pack/verbs/one_output.cpp
  tools/pack/verbs/pack.cpp
  tools/pack/verbs/verify.cpp)
target_link_libraries(pack_commands PUBLIC pack_library nlohmann_json::nlohmann_json)
target_include_directories(pack_commands PRIVATE "${pack_commit_dir}")
target_compile_definitions(pack_commands PUBLIC SELFINST_PACK_VERSION="${PROJECT_VERSION}")
add_dependencies(pack_commands pack_commit)

add_executable(selfinst-pack tools/pack/main.cpp)
target_link_libraries(selfinst-pack PRIVATE pack_commands)

# selfinst-pack.1, rewritten whenever the table's program changes; built with the packer, so
# that whatever builds the packer can install its page too.
add_executable(selfinst-pack-page tools/pack/page_main.cpp tools/pack/cli/man_page.cpp)
target_link_libraries(selfinst-pack-page PRIVATE pack_commands)
set(pack_man_page "${CMAKE_CURRENT_BINARY_DIR}/selfinst-pack.1")
add_custom_command(OUTPUT "${pack_man_page}"
  COMMAND selfinst-pack-page "${pack_man_page}"
  DEPENDS selfinst-pack-page
  COMMENT "Writing the manual page selfinst-pack.1"
  VERBATIM)
add_custom_target(pack_man_page ALL DEPENDS "${pack_man_page}")
add_dependencies(selfinst-pack pack_man_page)

include(GNUInstallDirs)
install(TARGETS selfinst-pack RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${pack_man_page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

add_executable(make-demo-payload tools/demo-payload/make_demo_payload.cpp)
target_include_directories(make-demo-payload PRIVATE tools/demo-payload src/payload)

# The extraction pass over real files, counting its heap use, for the benchmarks: built on
# request in a tool-preset folder, for the demo payload scaled by TQ30_HEAP_BENCH_SCALE.
set(TQ30_HEAP_BENCH_SCALE 1 CACHE STRING "The heap benchmark's payload: the demo's times this")
add_executable(heap-bench EXCLUDE_FROM_ALL
  ${LAUNCHER_SOURCES} tools/demo-payload/demo_payload_table.cpp tools/bench/heap_bench.cpp)
target_include_directories(heap-bench PRIVATE src src/payload tools/demo-payload)
target_compile_definitions(heap-bench PRIVATE DEMO_SCALE=${TQ30_HEAP_BENCH_SCALE})

if(TQ30_FUZZ)
  add_executable(fuzz-image-reader tests/fuzz/fuzz_image_reader.cpp)
  target_compile_options(fuzz-image-reader PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz-image-reader PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz-image-reader PRIVATE pack_library)
  return()
endif()

find_package(GTest REQUIRED)
include(GoogleTest)

# What the tests read from the Windows builds (the presets' folders build/win32 and
# build/win64): the linked stubs, the launchers packed with the demo payload, the demo
# payload, the stand-in installer, the dialog driver and the decoy. This build brings them up
# to date (after the Windows builds, which share the packer's folder, one after the other).
set(WIN32_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/win32")
set(WIN64_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/win64")
# They sign as the environment of this build asks (tests/reproducible_build.sh signs alike).
add_preset_build(win32_build win32 CLEAR TQ30_HOST_TOOLS
                 FROM_ENV ${SIGNING_SETTINGS} TARGETS all test_programs)
add_preset_build(win64_build win64 CLEAR TQ30_HOST_TOOLS
                 FROM_ENV ${SIGNING_SETTINGS} TARGETS all test_programs)
add_dependencies(win64_build win32_build)
add_custom_target(windows_builds ALL DEPENDS win32_build win64_build)

# The unit tests carry a generated payload with the demo's lengths.
set(TEST_PAYLOAD_DIR "${CMAKE_CURRENT_BINARY_DIR}/test-payload")
add_custom_command(OUTPUT ${TEST_PAYLOAD_DIR}.stamp
  COMMAND make-demo-payload -o ${TEST_PAYLOAD_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${TEST_PAYLOAD_DIR}.stamp
  DEPENDS make-demo-payload)
add_custom_target(test_payload DEPENDS ${TEST_PAYLOAD_DIR}.stamp)

add_library(launcher_under_test STATIC ${LAUNCHER_SOURCES}
  tests/unit/fake_platform.cpp tests/unit/scratch_folder.cpp tests/unit/unprivileged.cpp)
target_include_directories(launcher_under_test PUBLIC src src/payload tests/unit)
target_compile_definitions(launcher_under_test PUBLIC TEST_PAYLOAD_DIR="${TEST_PAYLOAD_DIR}")
target_link_libraries(launcher_under_test PUBLIC GTest::gtest GTest::gtest_main)

add_executable(launcher_tests
  tools/demo-payload/demo_payload_table.cpp
  tests/unit/launcher_test.cpp
  tests/unit/extraction_failures_test.cpp
  tests/unit/overwrite_question_test.cpp)
target_include_directories(launcher_tests PRIVATE tools/demo-payload)
add_dependencies(launcher_tests test_payload)
target_link_libraries(launcher_tests PRIVATE launcher_under_test)
gtest_discover_tests(launcher_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)

# The same launcher linked with a manifest that carries nothing.
add_executable(empty_manifest_tests
  tests/unit/empty_payload_table.cpp tests/unit/empty_manifest_test.cpp)
target_link_libraries(empty_manifest_tests PRIVATE launcher_under_test)
gtest_discover_tests(empty_manifest_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)

# The same launcher linked with a manifest whose one name takes every notice to its bound.
add_executable(notice_bound_tests
  tests/unit/long_name_payload_table.cpp tests/unit/notice_bound_test.cpp)
target_link_libraries(notice_bound_tests PRIVATE launcher_under_test)
gtest_discover_tests(notice_bound_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)

# Preloaded into the packer built without sanitizers (their runtime must come first), to
# swap an output folder for a link at the moment an output is given its name, change a
# payload file while it is read, or fail a flush or close.
add_library(swap_shim SHARED tests/unit/swap_shim.cpp)
set_target_properties(swap_shim PROPERTIES COMPILE_OPTIONS "-Wall;-Wextra;-Werror;-O1"
                                           LINK_OPTIONS "")
target_link_libraries(swap_shim PRIVATE ${CMAKE_DL_LIBS})

add_executable(pack_tests
  tests/unit/pack_support.cpp
  tests/unit/pack_process.cpp
  tests/unit/pack_layout_test.cpp
  tests/unit/pack_verify_test.cpp
  tests/unit/pack_cli_test.cpp
  tests/unit/pack_refusals_test.cpp
  tests/unit/pack_hostile_test.cpp
  tests/unit/pack_files_test.cpp
  tests/unit/pack_sizes_test.cpp
  tests/unit/pack_compiled_table_test.cpp
  tests/unit/pack_outputs_test.cpp
  tests/unit/pack_interrupted_test.cpp
  tests/unit/pack_reporting_test.cpp
  tests/unit/output_folder_fixture.cpp
  tests/unit/output_names_test.cpp
  tests/unit/output_folders_test.cpp
  tests/unit/output_temporaries_test.cpp
  tests/unit/output_signals_test.cpp
  tests/unit/image_checksum_test.cpp
  tests/unit/built_launcher_test.cpp
  tests/unit/unprivileged.cpp)
target_link_libraries(pack_tests PRIVATE pack_library nlohmann_json::nlohmann_json GTest::gtest
                      GTest::gtest_main util)
target_compile_definitions(pack_tests PRIVATE
  SELFINST_PACK="$<TARGET_FILE:selfinst-pack>" TEST_PAYLOAD_DIR="${TEST_PAYLOAD_DIR}"
  WIN32_BUILD_DIR="${WIN32_BUILD_DIR}" WIN64_BUILD_DIR="${WIN64_BUILD_DIR}"
  SWAP_SHIM="$<TARGET_FILE:swap_shim>" SELFINST_PACK_MAN_PAGE="${pack_man_page}"
  # The swap shim goes with the packer built without sanitizers, which the Windows builds make.
  PLAIN_PACK="${PROJECT_SOURCE_DIR}/build/tool/selfinst-pack")
add_dependencies(pack_tests test_payload selfinst-pack swap_shim windows_builds)
gtest_discover_tests(pack_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS pack)

# The Python manifest reader that the end-to-end cases, benchmarks and screenshots share,
# and the runtime's parts that run without it. Every Python test imports the package tq30
# from the one folder set here.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(PYTHON_TEST_ENVIRONMENT PYTHONPATH=${PROJECT_SOURCE_DIR}/python)
add_test(NAME python_manifest_reader
         COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/python/manifest_test.py)
set_tests_properties(python_manifest_reader PROPERTIES LABELS unit
                     ENVIRONMENT ${PYTHON_TEST_ENVIRONMENT})
add_test(NAME python_runtime_channel
         COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/python/runtime_channel_test.py)
set_tests_properties(python_runtime_channel PROPERTIES LABELS unit TIMEOUT 120
                     ENVIRONMENT ${PYTHON_TEST_ENVIRONMENT})
add_test(NAME python_runtime_cache
         COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/python/runtime_cache_test.py)
set_tests_properties(python_runtime_cache PROPERTIES LABELS unit TIMEOUT 120
                     ENVIRONMENT ${PYTHON_TEST_ENVIRONMENT})

# The README within a guide's limits, and every page's relative links leading to files.
add_test(NAME docs COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/check_docs.py)
set_tests_properties(docs PROPERTIES LABELS unit)

include(cmake/e2e.cmake OPTIONAL)

add_test(NAME reproducible_build
  COMMAND ${PROJECT_SOURCE_DIR}/tests/reproducible_build.sh $<TARGET_FILE_DIR:selfinst-pack>)
set_tests_properties(reproducible_build PROPERTIES LABELS reproducible TIMEOUT 600)

add_test(NAME signing
  COMMAND ${PROJECT_SOURCE_DIR}/tests/signing/signing_test.sh $<TARGET_FILE:selfinst-pack>)
# It builds a copy of the checkout with ./build.sh: the packer and both launchers, from nothing.
set_tests_properties(signing PROPERTIES LABELS signing TIMEOUT 900)

add_test(NAME payload_paths
  COMMAND ${PROJECT_SOURCE_DIR}/tests/payload_paths_test.sh $<TARGET_FILE:selfinst-pack>)
set_tests_properties(payload_paths PROPERTIES LABELS pack TIMEOUT 300)
add_test(NAME build_dist COMMAND ${PROJECT_SOURCE_DIR}/tests/build_dist_test.sh)
set_tests_properties(build_dist PROPERTIES LABELS build TIMEOUT 900)
add_test(NAME build_args COMMAND ${PROJECT_SOURCE_DIR}/tests/build_args_test.sh)
set_tests_properties(build_args PROPERTIES LABELS build TIMEOUT 300)
# A payload of about 2 GB, on disk and in the packer's memory: never beside other tests.
add_test(NAME ceiling
  COMMAND ${PROJECT_SOURCE_DIR}/tests/ceiling_test.sh ${PROJECT_SOURCE_DIR}/build/tool/selfinst-pack)
# Both skip (exit code 77) when neither engine of the PE32 runtime can be had here; the
# emulated engine boots a machine of its own for each.
set_tests_properties(ceiling PROPERTIES LABELS ceiling TIMEOUT 1800 RUN_SERIAL TRUE
                     SKIP_RETURN_CODE 77)
add_test(NAME runtime_paths COMMAND ${PROJECT_SOURCE_DIR}/tests/runtime_paths_test.sh)
# It may have to make the runtime first, as a session start may.
set_tests_properties(runtime_paths PROPERTIES LABELS e2e-pe32 TIMEOUT 1500 SKIP_RETURN_CODE 77)
add_test(NAME run_product COMMAND ${PROJECT_SOURCE_DIR}/tests/run_product_test.sh)
# Not beside a PE32 case: on the emulated engine each is a machine busy on both cores.
set_tests_properties(run_product PROPERTIES LABELS e2e-pe32 TIMEOUT 1200 SKIP_RETURN_CODE 77
                     RESOURCE_LOCK wine-pe32)
