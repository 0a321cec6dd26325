# Windows programs: the launcher stub (linked without resources, once for any payload; the
# store and the files' sizes are attached afterwards by selfinst-pack), the launcher carrying
# the demo payload that the tests run, the stand-in installer and the test helpers.
set(TINY_PROGRAM_FLAGS -Os -flto -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables)
# No timestamps and no symbols, so that two builds give the same bytes; ASLR and DEP on.
set(TINY_LINK_FLAGS -s -flto -Os -Wl,--gc-sections -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp
    -Wl,--dynamicbase -Wl,--nxcompat)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  list(APPEND TINY_LINK_FLAGS -Wl,--high-entropy-va)
endif()

function(add_tiny_program target subsystem)
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE ${TINY_PROGRAM_FLAGS})
  target_link_options(${target} PRIVATE ${TINY_LINK_FLAGS} -m${subsystem})
endfunction()

# The host programs this build runs: the packer and the demo payload's generator. By default
# they come from the tool preset's folder (build/tool, optimised, no sanitizers), which this
# build configures and brings up to date itself; TQ30_HOST_TOOLS names a folder holding them
# built already instead.
set(TQ30_HOST_TOOLS "" CACHE PATH
    "Folder with the host's selfinst-pack and make-demo-payload; empty: build/tool, built here")
set(host_programs selfinst-pack make-demo-payload)
if(TQ30_HOST_TOOLS STREQUAL "")
  set(host_tools_dir "${PROJECT_SOURCE_DIR}/build/tool")
  list(TRANSFORM host_programs PREPEND "${host_tools_dir}/" OUTPUT_VARIABLE host_files)
  add_preset_build(host_tools tool TARGETS ${host_programs} BYPRODUCTS ${host_files})
else()
  set(host_tools_dir "${TQ30_HOST_TOOLS}")
  list(TRANSFORM host_programs PREPEND "${host_tools_dir}/" OUTPUT_VARIABLE host_files)
  string(REPLACE ";" "," host_files "${host_files}")
  add_custom_target(host_tools
    COMMAND "${CMAKE_COMMAND}" "-DFILES=${host_files}"
            -P "${PROJECT_SOURCE_DIR}/cmake/require-host-tools.cmake"
    VERBATIM)
endif()
set(HOST_PACK "${host_tools_dir}/selfinst-pack")

# The signing settings are the build's configuration, taken from the environment when a
# build folder is first configured (./build.sh sets them on every run). They are written to
# a file only when they change, so that configuring again with the same ones signs nothing
# again; the password is not among them: it is read from the environment when signing.
foreach(setting IN LISTS SIGNING_SETTINGS)
  set(${setting} "$ENV{${setting}}" CACHE STRING "Code signing: see tools/sign.sh")
endforeach()
set(signing_text "")
foreach(setting IN LISTS SIGNING_SETTINGS)
  # The signer takes the published signature of the launcher this build makes as
  # TQ30_SIGN_DETACHED, as ./build.sh gives it.
  set(value "${${setting}}")
  if(setting STREQUAL "TQ30_SIGN_DETACHED_X64")
    continue()
  elseif(setting STREQUAL "TQ30_SIGN_DETACHED" AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(value "${TQ30_SIGN_DETACHED_X64}")
  endif()
  string(APPEND signing_text "${setting}=${value}\n")
endforeach()
if(TQ30_SIGN_PKCS12 OR TQ30_SIGN_KEY)
  # The signing time is part of the signature; without a timestamp server it is fixed here,
  # as tools/sign.sh would take it, so that signing stays reproducible.
  set(signing_time "$ENV{SOURCE_DATE_EPOCH}")
  if(signing_time STREQUAL "")
    execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE signing_time OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  if(signing_time STREQUAL "")
    set(signing_time 0)
  endif()
  string(APPEND signing_text "SOURCE_DATE_EPOCH=${signing_time}\n")
endif()
set(SIGNING_SETTINGS_FILE "${CMAKE_CURRENT_BINARY_DIR}/signing-settings.txt")
write_if_changed("${SIGNING_SETTINGS_FILE}" "${signing_text}")

add_tiny_program(standin windows tools/standin/standin.cpp)
target_include_directories(standin PRIVATE tools/demo-payload src/payload)
target_link_libraries(standin PRIVATE shell32)
set_target_properties(standin PROPERTIES OUTPUT_NAME setup EXCLUDE_FROM_ALL ON)

# The carried files' names, from the manifest's one reader outside the compiler (the one the
# tests, benchmarks and screenshots use too), run here so that this build and the Python
# share its rules; a list it refuses stops the configuration with its line.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "PYTHONPATH=${PROJECT_SOURCE_DIR}/python"
          "${Python3_EXECUTABLE}" -m tq30.manifest names
  OUTPUT_VARIABLE PAYLOAD_FILE_NAMES ERROR_VARIABLE manifest_problem RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the payload's list is refused: ${manifest_problem}")
endif()
string(REGEX REPLACE "\n$" "" PAYLOAD_FILE_NAMES "${PAYLOAD_FILE_NAMES}")
string(REPLACE "\n" ";" PAYLOAD_FILE_NAMES "${PAYLOAD_FILE_NAMES}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             src/payload/payload_files.def python/tq30/manifest.py)

# The launcher here carries the demo payload, generated with this build's stand-in
# installer as setup.exe; ./build.sh packs the stub with any other payload itself.
set(payload_dir "${CMAKE_CURRENT_BINARY_DIR}/demo-payload")
# Its files, from the manifest's one list, so that a deleted one is made again.
list(TRANSFORM PAYLOAD_FILE_NAMES PREPEND "${payload_dir}/" OUTPUT_VARIABLE demo_files)
add_custom_command(OUTPUT ${demo_files}
  COMMAND "${host_tools_dir}/make-demo-payload" -o "${payload_dir}"
          --installer "$<TARGET_FILE:standin>"
  DEPENDS standin "${host_tools_dir}/make-demo-payload"
  COMMENT "Generating the demo payload"
  VERBATIM)
add_custom_target(demo_payload DEPENDS ${demo_files})
add_dependencies(demo_payload host_tools)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(launcher_name tq30-setup-x64)
  set(stub_name tq30-stub-x64)
else()
  set(launcher_name tq30-setup)
  set(stub_name tq30-stub)
endif()
# The table's sizes are the packer's to write: its file is compiled outside link-time
# optimisation, so that no other file of the launcher sees the placeholders it holds.
set_source_files_properties(src/payload/payload_table.cpp PROPERTIES COMPILE_OPTIONS -fno-lto)
set(STUB_SOURCES ${LAUNCHER_SOURCES} src/payload/payload_table.cpp
    src/platform/win32/platform_win32.cpp src/platform/win32/winmain.cpp)
add_tiny_program(launcher-stub windows ${STUB_SOURCES})
target_include_directories(launcher-stub PRIVATE src src/payload)
target_link_libraries(launcher-stub PRIVATE shell32)
set_target_properties(launcher-stub PROPERTIES OUTPUT_NAME ${stub_name})
# The same stub with other placeholders: the tests hold it against the stub, which it must
# equal byte for byte but for the table's sizes, as it does while no size is folded into code.
add_tiny_program(other-placeholder-stub windows ${STUB_SOURCES})
target_include_directories(other-placeholder-stub PRIVATE src src/payload)
target_link_libraries(other-placeholder-stub PRIVATE shell32)
target_compile_definitions(other-placeholder-stub PRIVATE PAYLOAD_SIZE_PLACEHOLDER=0x5eed)
set_target_properties(other-placeholder-stub PROPERTIES EXCLUDE_FROM_ALL ON)
# Said as it happens, among the launcher's other lines that ./build.sh shows.
add_custom_command(TARGET launcher-stub POST_BUILD
  COMMAND "${CMAKE_COMMAND}" -E echo "${stub_name}.exe: compiled"
  VERBATIM)

# The demo launcher: packed, signed when a key is configured, verified; each step runs again
# exactly when one of its inputs changed. The signing keys' identities (size, times, inode:
# a file put in place with an older time counts) are checked on every build by
# input_stamp.py, which rewrites its stamp only when they differ.
set(launcher_file "${CMAKE_CURRENT_BINARY_DIR}/${launcher_name}.exe")
set(unsigned_file "${CMAKE_CURRENT_BINARY_DIR}/${launcher_name}.unsigned.exe")
set(keys_stamp "${CMAKE_CURRENT_BINARY_DIR}/signing-keys.stamp")
add_custom_target(launcher_inputs
  COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/cmake/input_stamp.py"
          "${SIGNING_SETTINGS_FILE}" "${keys_stamp}"
  BYPRODUCTS "${keys_stamp}"
  VERBATIM)
set(pack_launcher "${PROJECT_SOURCE_DIR}/cmake/pack-launcher.sh")
add_custom_command(OUTPUT "${unsigned_file}"
  COMMAND "${pack_launcher}" pack "${HOST_PACK}" "$<TARGET_FILE:launcher-stub>"
          "${payload_dir}" "${unsigned_file}"
  DEPENDS launcher-stub "${HOST_PACK}" "${pack_launcher}" ${demo_files}
  COMMENT "Packing ${launcher_name}.exe"
  VERBATIM)
add_custom_command(OUTPUT "${launcher_file}"
  COMMAND "${pack_launcher}" sign "${HOST_PACK}" "${unsigned_file}" "${payload_dir}"
          "${SIGNING_SETTINGS_FILE}" "${launcher_file}"
  DEPENDS "${unsigned_file}" "${HOST_PACK}" "${pack_launcher}" "${PROJECT_SOURCE_DIR}/tools/sign.sh"
          "${SIGNING_SETTINGS_FILE}" "${keys_stamp}"
  COMMENT "Signing and verifying ${launcher_name}.exe"
  VERBATIM)
add_custom_target(launcher ALL DEPENDS "${launcher_file}")
add_dependencies(launcher launcher_inputs demo_payload host_tools)

# What the tests and benchmarks run beside the launcher, built on request.
add_executable(dialog-driver EXCLUDE_FROM_ALL tools/dialog-driver/dialog_driver.cpp)
target_link_options(dialog-driver PRIVATE -static -s -Wl,--no-insert-timestamp)

# Benchmark baselines.
add_tiny_program(write-baseline console tools/bench/write_baseline.cpp)
add_tiny_program(size-baseline windows tools/bench/size_baseline.cpp)
target_link_libraries(size-baseline PRIVATE shell32)
add_tiny_program(exit-at-once windows tools/bench/exit_at_once.cpp src/payload/payload_table.cpp)
target_include_directories(exit-at-once PRIVATE src src/payload)
add_tiny_program(decoy windows tools/decoy/decoy.cpp)
set_target_properties(write-baseline size-baseline exit-at-once decoy PROPERTIES
                      EXCLUDE_FROM_ALL ON)
add_custom_target(test_programs DEPENDS standin dialog-driver decoy other-placeholder-stub)
add_custom_target(bench_programs
  DEPENDS standin dialog-driver write-baseline size-baseline exit-at-once)
