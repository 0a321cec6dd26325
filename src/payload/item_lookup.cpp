#include "item_lookup.h"

#include "store_format.h"

bool LocateItem(platform::Handle instance, const char* itemKey, HeldItem* item) {
  // Each link of the chain is tested, so a missing key never reaches the platform as a
  // null handle.
  platform::Handle found = platform::FindResourceA(instance, kItemName, itemKey);
  if (found == nullptr) {
    return false;
  }
  platform::Handle loaded = platform::LoadResource(instance, found);
  if (loaded == nullptr) {
    return false;
  }
  const void* bytes = platform::LockResource(loaded);
  if (bytes == nullptr) {
    return false;
  }
  item->bytes = bytes;
  item->length = platform::SizeofResource(instance, found);
  item->loaded = loaded;
  return true;
}

void ReleaseItem(const HeldItem& item) { platform::FreeResource(item.loaded); }
