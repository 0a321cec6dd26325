# Writes OUTPUT, a header naming the commit SOURCE_DIR is checked out at (empty outside a
# git checkout), only when that changes: an unchanged checkout rebuilds nothing.
#   cmake -DSOURCE_DIR=DIR -DOUTPUT=FILE -P pack-commit.cmake
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                RESULT_VARIABLE failed)
if(failed)
  set(commit "")
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "#define SELFINST_PACK_COMMIT \"${commit}\"\n")
