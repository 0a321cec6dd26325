# Writes payload_sizes.h for a payload folder through the host packer, which checks the
# folder (the one checker of a payload folder). Run as
#   cmake -DPAYLOAD_DIR_FILE=FILE -DOUTPUT=.. [-DPACK=..] -P payload-sizes.cmake
# where FILE holds the folder's path and nothing else, or with -DPAYLOAD_DIR=.. instead.
# The build passes the path in a file because make reads "$(...)" in a command line as
# one of its own variables; execute_process hands it to the packer untouched.
get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT DEFINED PACK)
  set(PACK "${root}/build/host/selfinst-pack")
endif()
if(DEFINED PAYLOAD_DIR_FILE)
  file(READ "${PAYLOAD_DIR_FILE}" PAYLOAD_DIR)
endif()
execute_process(
  COMMAND "${PACK}" sizes --payload "${PAYLOAD_DIR}" -o "${OUTPUT}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "payload folder refused")
endif()
