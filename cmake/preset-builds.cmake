# Another preset's build folder brought up to date as a step of this build: configured with
# the preset when it has no cache yet (or holds a value in one of the CLEAR variables, which
# are emptied, or one of the FROM_ENV variables differs from this build's environment),
# then built for the given targets. A make-based build runs as a sub-make, so
# that it shares this build's job slots.
#   add_preset_build(TARGET PRESET [CLEAR VAR...] [FROM_ENV VAR...] TARGETS TARGET...
#                    [BYPRODUCTS FILE...])
function(add_preset_build target preset)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "CLEAR;FROM_ENV;TARGETS;BYPRODUCTS")
  set(dir "${PROJECT_SOURCE_DIR}/build/${preset}")
  if(CMAKE_GENERATOR MATCHES "Makefiles")
    set(build $(MAKE) --no-print-directory -C "${dir}" ${arg_TARGETS})
  else()
    set(build "${CMAKE_COMMAND}" --build "${dir}" --target ${arg_TARGETS})
  endif()
  string(REPLACE ";" "," clear "${arg_CLEAR}")
  string(REPLACE ";" "," from_env "${arg_FROM_ENV}")
  add_custom_target(${target}
    COMMAND "${CMAKE_COMMAND}" "-DPRESET=${preset}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
            "-DBINARY_DIR=${dir}" "-DCLEAR=${clear}" "-DFROM_ENV=${from_env}"
            -P "${PROJECT_SOURCE_DIR}/cmake/configure-preset.cmake"
    COMMAND ${build}
    BYPRODUCTS ${arg_BYPRODUCTS}
    COMMENT "Bringing build/${preset} up to date"
    VERBATIM)
endfunction()
