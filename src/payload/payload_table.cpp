#include "payload_table.h"

// The stub is built once for every payload: selfinst-pack writes each row's size here when
// it attaches the store, from the same folder it stores. Until then every row holds a
// placeholder that is not 0, so that the terminator stays the only row of size 0. The
// build compiles this file outside link-time optimisation: no other file of the launcher
// sees these values, so none of them can be folded into its code.
#ifndef PAYLOAD_SIZE_PLACEHOLDER
#define PAYLOAD_SIZE_PLACEHOLDER 1
#endif

const PayloadEntry payloadTable[] = {
#define PAYLOAD_FILE(key, name) {PAYLOAD_SIZE_PLACEHOLDER, name, #key},
#include "payload_files.def"
#undef PAYLOAD_FILE
    {0, nullptr, nullptr},
};
