// Checking an image, its store and its loader's fields together, with the items' bytes
// taken as they pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "io/report.h"
#include "pe/image_file.h"
#include "pe/pe_image.h"
#include "store/store_reader.h"

// Takes the bytes of the item of one manifest row as they pass, in order and in pieces;
// false once it has added a problem and wants no more.
using ItemTaker = std::function<bool(std::size_t row, const std::uint8_t* data, std::size_t size)>;

// Everything verify checks: the loader's fields, the store against the records planned
// for the items found, the padding, the checksum, all in one pass over the file that
// hands each item's bytes to `takeItem` (may be null), and `alsoTake` theirs. True when
// nothing is wrong.
[[nodiscard]] bool VerifyImage(const ImageFile& file, const PeImage& image, const StoreView& store,
                               const ItemTaker& takeItem, Report* report,
                               const std::vector<Span>& alsoTake = {});
// The same checks for an image just written, whose every byte passed the writer: all but
// the pass, with the checksum the writer took of what it wrote.
[[nodiscard]] bool VerifyWrittenImage(const ImageFile& file, const PeImage& image,
                                      const StoreView& store, std::uint32_t writtenCheckSum,
                                      Report* report);

// The manifest row of each item found, or a problem for each key missing or unknown.
[[nodiscard]] bool MatchRows(const ImageFile& file, const StoreView& store,
                             std::vector<const StoredItem*>* byRow, Report* report);
