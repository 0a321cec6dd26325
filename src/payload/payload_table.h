// The manifest: the carried files in the order they are written, each with its size and the
// key of its item, from payload_files.def; the sizes are written by the packer.
#pragma once

#include <cstdint>

struct PayloadEntry {
  std::uint32_t size;    // bytes of the item and of its file; 0 only in the terminator
  const char* fileName;  // bare name, resolved against the current folder
  const char* itemKey;   // key of the item in the store
};

// Eleven rows in manifest order, then a terminator row of size 0. Every walk starts at
// row 0 and stops at the first row whose size is 0.
extern const PayloadEntry payloadTable[];
