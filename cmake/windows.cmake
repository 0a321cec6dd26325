# Windows programs: the launcher stub (linked without resources; the store is attached
# afterwards by selfinst-pack), the stand-in installer and the test helpers.
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

# Compared as a string: a folder name ending in -NOTFOUND is still a folder.
if(NOT TQ30_PAYLOAD_DIR STREQUAL "")
  add_payload_sizes(launcher_payload_sizes "${TQ30_PAYLOAD_DIR}")
  add_tiny_program(launcher-stub windows
    ${LAUNCHER_SOURCES} src/payload/payload_table.cpp
    src/platform/win32/platform_win32.cpp src/platform/win32/winmain.cpp)
  target_include_directories(launcher-stub PRIVATE src src/payload ${launcher_payload_sizes_DIR})
  add_dependencies(launcher-stub launcher_payload_sizes)
  target_link_libraries(launcher-stub PRIVATE shell32)
endif()

add_tiny_program(standin windows tools/standin/standin.cpp)
target_include_directories(standin PRIVATE tools/demo-payload src/payload)
target_link_libraries(standin PRIVATE shell32)
set_target_properties(standin PROPERTIES OUTPUT_NAME setup)

add_executable(dialog-driver tools/dialog-driver/dialog_driver.cpp)
target_link_options(dialog-driver PRIVATE -static -s -Wl,--no-insert-timestamp)

# Benchmark baselines.
add_tiny_program(write-baseline console tools/bench/write_baseline.cpp)
add_tiny_program(size-baseline windows tools/bench/size_baseline.cpp)
target_link_libraries(size-baseline PRIVATE shell32)
add_tiny_program(exit-at-once windows tools/bench/exit_at_once.cpp)
add_tiny_program(decoy windows tools/decoy/decoy.cpp)
