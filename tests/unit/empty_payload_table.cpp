// A manifest that carries nothing: its first row is the terminator.
#include "payload/payload.h"

const PayloadEntry payloadTable[] = {{0, nullptr, nullptr}};
