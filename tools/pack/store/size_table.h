// The launcher's table of its files' sizes (payloadTable, src/payload/payload_table.h). The
// launcher writes each file with the size in its table, whatever its item holds: pack
// writes the items' sizes there, and a table that differs from the items means files
// written cut short or padded with other bytes. The table is found in the image by its
// rows, each a size and the addresses of the manifest's file name and key, in manifest
// order, ended where the launcher ends it: at the first size of 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pe/pe_image.h"

struct SizeTable {
  std::uint64_t at = 0;              // file offset of the table's first row
  std::size_t rowSize = 0;           // 12 in a PE32, 24 in a PE32+
  std::vector<std::uint32_t> sizes;  // one per manifest row
};

// Looks in the bytes a loader maps from the first `sectionCount` sections, as far as the
// image's head holds them; false, with the problem, unless the table is there exactly once.
[[nodiscard]] bool FindSizeTable(const ImageFile& file, const PeImage& image,
                                 std::size_t sectionCount, SizeTable* found, Report* report);
