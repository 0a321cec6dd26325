// Attaching the item store to a linked launcher as its new last section.
#pragma once

#include <string>
#include <vector>

#include "pe_records.h"

// `items` in manifest order. False, with a message, when the stub cannot take a store.
bool AttachStore(const Bytes& stub, const std::vector<Bytes>& items, Bytes* out,
                 std::string* error);
