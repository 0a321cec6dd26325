// A manifest that carries nothing: its first row is the terminator.
#include "payload/payload_table.h"

const PayloadEntry payloadTable[] = {{0, nullptr, nullptr}};
