// libFuzzer target: each input is read as an image, through the image reader, the store
// reader and every check that verify and extract run, its signature's included, and as a
// stub, through everything
// pack does before it writes a byte. Either must refuse any input cleanly, never reading
// out of range, in time and memory bounded by the input's size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pe/authenticode.h"
#include "pe/loader_checks.h"
#include "store/pack_image.h"
#include "store/store_reader.h"
#include "store/store_verify.h"

namespace {

// The demo payload's sizes: a stub is planned for a store of a real shape.
const std::vector<std::uint32_t> kSizes = {2805,  786379, 5968, 311998, 47616, 3,
                                           12743, 42743,  230,  951332, 3};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ImageFile file = ImageInMemory("input", Bytes(data, data + size));
  Report report;
  PackedHead packed;
  (void)ComposePackedHead(file, kSizes, &packed, &report);
  PeImage image;
  if (!ParsePeImage(file, &image, &report)) {
    return 0;
  }
  AuthenticodeCheck signature(file, image, ReadSignature(file, image, &report));
  std::vector<Span> signedSpans;
  signature.AddSpans(&signedSpans);
  StoreView store;
  if (ReadStore(file, image, &store, &report) &&
      VerifyImage(
          file, image, store, [](std::size_t, const std::uint8_t*, std::size_t) { return true; },
          &report, signedSpans)) {
    (void)signature.Finish();
  }
  return 0;
}
