# Writes payload_sizes.h for a payload folder through the host packer, which checks the
# folder (the one checker of a payload folder). Run by the build as
#   cmake -DPACK=selfinst-pack -DPAYLOAD_DIR_FILE=FILE -DOUTPUT=.. -P payload-sizes.cmake
# where FILE holds the folder's path and nothing else: make reads "$(...)" in a command
# line as one of its own variables, while execute_process hands it to the packer untouched.
file(READ "${PAYLOAD_DIR_FILE}" PAYLOAD_DIR)
execute_process(
  COMMAND "${PACK}" sizes --payload "${PAYLOAD_DIR}" -o "${OUTPUT}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "payload folder refused")
endif()
