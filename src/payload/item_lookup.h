// The items of the store inside the executable, looked up by key and held until released.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct HeldItem {
  const void* bytes;        // read-only, valid for the life of the process
  std::uint32_t length;     // the item's length in the store
  platform::Handle loaded;  // what ReleaseItem hands back to the platform
};

// Finds the item stored under `itemKey`. Returns false, having held nothing, when the
// store lacks it or it cannot be loaded.
bool LocateItem(platform::Handle instance, const char* itemKey, HeldItem* item);
void ReleaseItem(const HeldItem& item);
