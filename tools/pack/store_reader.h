// Reading the item store of an image within strict bounds, and checking the image, store
// and loader's fields together, with the items' bytes taken as they pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pe_image.h"
#include "store_layout.h"

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
bool ReadStore(const ImageFile& file, const PeImage& image, StoreView* store, Report* report);

// Takes the bytes of the item of one manifest row as they pass, in order and in pieces;
// false once it has added a problem and wants no more.
using ItemTaker = std::function<bool(std::size_t row, const std::uint8_t* data, std::size_t size)>;

// Everything verify checks: the loader's fields, the store against the records planned
// for the items found, the padding, the checksum, all in one pass over the file that
// hands each item's bytes to `takeItem` (may be null). True when nothing is wrong.
bool VerifyImage(const ImageFile& file, const PeImage& image, const StoreView& store,
                 const ItemTaker& takeItem, Report* report);
// The same checks for an image just written, whose every byte passed the writer: all but
// the pass, with the checksum the writer took of what it wrote.
bool VerifyWrittenImage(const ImageFile& file, const PeImage& image, const StoreView& store,
                        std::uint32_t writtenCheckSum, Report* report);

// The manifest row of each item found, or a problem for each key missing or unknown.
bool MatchRows(const ImageFile& file, const StoreView& store, std::vector<const StoredItem*>* byRow,
               Report* report);
