#include "payload_table.h"

// Generated at build time from the payload folder being carried: PAYLOAD_SIZE_<key>.
#include "payload_sizes.h"

const PayloadEntry payloadTable[] = {
#define PAYLOAD_FILE(key, name) {PAYLOAD_SIZE_##key, name, #key},
#include "payload_files.def"
#undef PAYLOAD_FILE
    {0, nullptr, nullptr},
};
