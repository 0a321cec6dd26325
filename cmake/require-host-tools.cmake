# Stops the build with one line when a host program that TQ30_HOST_TOOLS names is missing.
#   cmake -DFILES=PATH,PATH -P require-host-tools.cmake
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" files "${FILES}")
foreach(file IN LISTS files)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} is missing: build it first (cmake --build --preset tool), "
                        "or leave TQ30_HOST_TOOLS empty for this build to make it")
  endif()
endforeach()
