// libFuzzer target: the image reader and the store reader and checker must refuse any
// input cleanly, never reading out of range.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "item_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes bytes(data, data + size);
  PeImage image;
  std::string error;
  if (!ParsePeImage(bytes, &image, &error)) {
    return 0;
  }
  std::vector<std::string> dlls;
  (void)ReadImportedDlls(bytes, image, &dlls, &error);
  StoreView store;
  if (ReadStore(bytes, image, &store, &error)) {
    (void)VerifyStore(bytes, store, nullptr);
  }
  return 0;
}
