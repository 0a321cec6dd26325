# Writes payload_sizes.h for PAYLOAD_DIR through the host packer, which checks the folder
# (the one checker of a payload folder). Run as: cmake -DPAYLOAD_DIR=.. -DOUTPUT=.. -P
# (FILES_DEF, once needed, is accepted and ignored.)
get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
execute_process(
  COMMAND "${root}/build/host/selfinst-pack" sizes --payload "${PAYLOAD_DIR}" -o "${OUTPUT}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "payload folder refused")
endif()
