// libFuzzer target: the image reader, the store reader and every check that verify and
// extract run must refuse any input cleanly, never reading out of range, in time and
// memory bounded by the input's size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes bytes(data, data + size);
  PeImage image;
  std::string error;
  if (!ParsePeImage(bytes, &image, &error)) {
    return 0;
  }
  std::vector<std::string> dlls;
  (void)ReadImportedDlls(bytes, image, &dlls, &error);
  (void)ReadSignature(bytes, image, &error);
  StoreView store;
  if (ReadStore(bytes, image, &store, &error)) {
    (void)VerifyImage(bytes, image, store, nullptr);
  }
  return 0;
}
