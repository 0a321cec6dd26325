// The carried files: the manifest, the item store inside the executable, and the
// removal of the files a run has written.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "store_format.h"

struct PayloadEntry {
  std::uint32_t size;    // bytes of the item and of its file; 0 only in the terminator
  const char* fileName;  // bare name, resolved against the current folder
  const char* itemKey;   // key of the item in the store
};

// Eleven rows in manifest order, then a terminator row of size 0. Every walk starts at
// row 0 and stops at the first row whose size is 0.
extern const PayloadEntry payloadTable[];

// Every row: more than the manifest holds, so the walk stops at the terminator.
constexpr int kFinalRemovalLimit = 100;

struct HeldItem {
  const void* bytes;        // read-only, valid for the life of the process
  std::uint32_t length;     // the item's length in the store
  platform::Handle loaded;  // what ReleaseItem hands back to the platform
};

// Finds the item stored under `itemKey`. Returns false, having held nothing, when the
// store lacks it or it cannot be loaded.
bool LocateItem(platform::Handle instance, const char* itemKey, HeldItem* item);
void ReleaseItem(const HeldItem& item);

// Deletes the files of the first `rowLimit` rows from the current folder, in manifest
// order; failures are ignored, since a file that cannot go simply stays.
void RemoveExtracted(int rowLimit);
