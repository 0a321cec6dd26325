// Reading the item store of an image within strict bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "store/store_layout.h"

// One item as found in an image. Strings from the image are kept printable: a unit
// outside printable ASCII, or a backslash, is shown as an escape.
struct StoredItem {
  std::string key;
  std::string name;
  std::uint32_t language = 0;
  std::uint32_t size = 0;
  std::uint32_t dataRva = 0;
  std::uint64_t fileOffset = 0;  // of the item's first byte in the image file
};

struct StoreView {
  std::size_t section = 0;  // index of the section holding the store
  std::uint32_t sectionRva = 0;
  std::uint64_t sectionOffset = 0;  // file offset of the store's first byte
  std::uint32_t sectionSize = 0;    // raw bytes from there to the section's end
  std::uint32_t directorySize = 0;
  std::vector<StoredItem> items;  // root order
};

// Reads the store of a parsed image. Before following anything it refuses a store that
// cannot be ours: more entries than the manifest has, a key longer than any of the
// manifest's or stored twice, a directory of the wrong form, a size or offset outside the
// section. The work is bounded by the manifest's size.
[[nodiscard]] bool ReadStore(const ImageFile& file, const PeImage& image, StoreView* store,
                             Report* report);
