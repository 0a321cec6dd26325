#include "store/size_table.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "payload/manifest.h"

namespace {

// Bytes a loader maps from the file for one section, as far as the head holds them: its
// raw data up to its virtual size, never the padding of the raw data past it, which the
// launcher never sees.
struct MappedBytes {
  std::uint64_t rva = 0;
  std::uint64_t at = 0;  // file offset
  std::uint64_t size = 0;
};

struct TableShape {
  std::uint64_t imageBase = 0;
  std::size_t pointerSize = 0;
  std::size_t rowSize = 0;
  std::vector<MappedBytes> byRva;  // sorted, so that an address is found in log time
};

std::uint64_t ReadPointer(const Bytes& head, std::size_t at, std::size_t pointerSize) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < pointerSize; ++i) {
    value |= std::uint64_t{head[at + i]} << (8 * i);
  }
  return value;
}

std::vector<MappedBytes> MappedSections(const ImageFile& file, const PeImage& image,
                                        std::size_t sectionCount) {
  std::vector<MappedBytes> mapped;
  for (std::size_t s = 0; s < sectionCount && s < image.sections.size(); ++s) {
    const Section& section = image.sections[s];
    const std::uint32_t virtualSize =
        section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
    const std::uint64_t size = std::min<std::uint64_t>(virtualSize, section.sizeOfRawData);
    if (section.pointerToRawData >= file.head.size() || size == 0) {
      continue;
    }
    mapped.push_back(
        MappedBytes{section.virtualAddress, section.pointerToRawData,
                    std::min<std::uint64_t>(size, file.head.size() - section.pointerToRawData)});
  }
  std::sort(mapped.begin(), mapped.end(),
            [](const MappedBytes& a, const MappedBytes& b) { return a.rva < b.rva; });
  return mapped;
}

// Whether `address` (as the linker wrote it, for the image at its preferred base) points at
// `text` and its terminating zero, in bytes the loader maps from the head. Sections that
// overlap in memory never load, so the nearest one below the address decides.
[[nodiscard]] bool PointsAt(const ImageFile& file, const TableShape& shape, std::uint64_t address,
                            const char* text) {
  const std::size_t length = std::strlen(text) + 1;
  if (address < shape.imageBase) {
    return false;
  }
  const std::uint64_t rva = address - shape.imageBase;
  auto next =
      std::upper_bound(shape.byRva.begin(), shape.byRva.end(), rva,
                       [](std::uint64_t value, const MappedBytes& m) { return value < m.rva; });
  if (next == shape.byRva.begin()) {
    return false;
  }
  const MappedBytes& mapped = *(next - 1);
  if (rva - mapped.rva >= mapped.size || mapped.size - (rva - mapped.rva) < length) {
    return false;
  }
  return std::memcmp(file.head.data() + mapped.at + (rva - mapped.rva), text, length) == 0;
}

// Whether a whole table starts at `at`, read as the launcher reads it: rows in manifest
// order, ended by the first size of 0 whatever the rest of that row holds. Its sizes when
// it does.
[[nodiscard]] bool TableAt(const ImageFile& file, const TableShape& shape, std::size_t at,
                           std::vector<std::uint32_t>* sizes) {
  const std::vector<ManifestFile>& manifest = Manifest();
  sizes->clear();
  for (std::size_t row = 0; row <= manifest.size(); ++row) {
    const std::size_t record = at + row * shape.rowSize;
    const std::uint64_t size = ReadPointer(file.head, record, 4);
    if (row == manifest.size() || size == 0) {
      return row == manifest.size() && size == 0;
    }
    const std::uint64_t name =
        ReadPointer(file.head, record + shape.pointerSize, shape.pointerSize);
    const std::uint64_t key =
        ReadPointer(file.head, record + 2 * shape.pointerSize, shape.pointerSize);
    if (!PointsAt(file, shape, name, manifest[row].fileName) ||
        !PointsAt(file, shape, key, manifest[row].itemKey)) {
      return false;
    }
    sizes->push_back(static_cast<std::uint32_t>(size));
  }
  return false;
}

}  // namespace

[[nodiscard]] bool FindSizeTable(const ImageFile& file, const PeImage& image,
                                 std::size_t sectionCount, SizeTable* found, Report* report) {
  TableShape shape;
  shape.pointerSize = image.is64 ? 8 : 4;
  shape.rowSize = 3 * shape.pointerSize;  // the size is padded to a pointer's width
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  const std::size_t imageBaseAt = OptionalFieldAt(image, optional::kImageBase);
  if (!Get(file.head, imageBaseAt, Field{"ImageBase", 0, 4}, &low) ||
      (image.is64 && !Get(file.head, imageBaseAt, Field{"ImageBase", 4, 4}, &high))) {
    return Refuse(report, file.path, "truncated image: the optional header is cut short");
  }
  shape.imageBase = (std::uint64_t{high} << 32) | low;
  shape.byRva = MappedSections(file, image, sectionCount);
  const std::size_t tableSize = (Manifest().size() + 1) * shape.rowSize;
  // Each byte of the head is looked at once, however the sections' bytes overlap in the
  // file, and each address is looked up in log time: the work stays bounded by the head's
  // size for any count of sections.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const MappedBytes& mapped : shape.byRva) {
    const std::uint64_t begin = AlignUp(mapped.at, shape.pointerSize);
    const std::uint64_t end = mapped.at + mapped.size;
    if (begin < end) {
      ranges.emplace_back(begin, end);
    }
  }
  std::sort(ranges.begin(), ranges.end());
  std::size_t tables = 0;
  std::uint64_t scanned = 0;  // where the previous ranges' scan ended
  std::vector<std::uint32_t> sizes;
  for (const auto& [begin, end] : ranges) {
    for (std::uint64_t at = std::max(begin, scanned); at + tableSize <= end;
         at += shape.pointerSize) {
      if (TableAt(file, shape, static_cast<std::size_t>(at), &sizes)) {
        ++tables;
        found->at = at;
        found->rowSize = shape.rowSize;
        found->sizes = sizes;
      }
    }
    scanned =
        std::max(scanned, end < tableSize ? 0 : AlignUp(end - tableSize + 1, shape.pointerSize));
  }
  if (tables == 1) {
    return true;
  }
  return Refuse(report, file.path,
                tables == 0 ? "the image holds no table of its files' sizes: it is not a "
                              "launcher of these sources"
                            : "the image holds more than one table of its files' sizes");
}
