#include "store/compiled_sizes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "payload/manifest.h"

namespace {

struct TableShape {
  std::uint64_t imageBase = 0;
  std::size_t pointerSize = 0;
  std::size_t rowSize = 0;
};

std::uint64_t ReadPointer(const Bytes& head, std::size_t at, std::size_t pointerSize) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < pointerSize; ++i) {
    value |= std::uint64_t{head[at + i]} << (8 * i);
  }
  return value;
}

// Whether `address` (as the linker wrote it, for the image at its preferred base) points at
// `text` and its terminating zero, in the raw data of one of the first `sectionCount`
// sections within the head.
[[nodiscard]] bool PointsAt(const ImageFile& file, const PeImage& image, std::size_t sectionCount,
                            const TableShape& shape, std::uint64_t address, const char* text) {
  const std::size_t length = std::strlen(text) + 1;
  if (address < shape.imageBase || address - shape.imageBase >= image.sizeOfImage) {
    return false;
  }
  const auto rva = static_cast<std::uint32_t>(address - shape.imageBase);
  const Section* section = SectionOfRva(image, rva, static_cast<std::uint32_t>(length));
  if (section == nullptr ||
      static_cast<std::size_t>(section - image.sections.data()) >= sectionCount) {
    return false;
  }
  const std::uint64_t at =
      std::uint64_t{section->pointerToRawData} + (rva - section->virtualAddress);
  return at + length <= file.head.size() && std::memcmp(file.head.data() + at, text, length) == 0;
}

// Whether a whole table starts at `at`; its sizes when it does.
[[nodiscard]] bool TableAt(const ImageFile& file, const PeImage& image, std::size_t sectionCount,
                           const TableShape& shape, std::size_t at,
                           std::vector<std::uint32_t>* sizes) {
  const std::vector<ManifestFile>& manifest = Manifest();
  sizes->clear();
  for (std::size_t row = 0; row <= manifest.size(); ++row) {
    const std::size_t record = at + row * shape.rowSize;
    const std::uint64_t size = ReadPointer(file.head, record, 4);
    const std::uint64_t name =
        ReadPointer(file.head, record + shape.pointerSize, shape.pointerSize);
    const std::uint64_t key =
        ReadPointer(file.head, record + 2 * shape.pointerSize, shape.pointerSize);
    if (row == manifest.size()) {
      return size == 0 && name == 0 && key == 0;
    }
    if (size == 0 || !PointsAt(file, image, sectionCount, shape, name, manifest[row].fileName) ||
        !PointsAt(file, image, sectionCount, shape, key, manifest[row].itemKey)) {
      return false;
    }
    sizes->push_back(static_cast<std::uint32_t>(size));
  }
  return false;
}

}  // namespace

[[nodiscard]] bool FindCompiledSizes(const ImageFile& file, const PeImage& image,
                                     std::size_t sectionCount, CompiledSizes* found,
                                     Report* report) {
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
  const std::size_t tableSize = (Manifest().size() + 1) * shape.rowSize;
  // Each byte of the head is looked at once, however the sections' raw data overlap: the
  // work stays bounded by the head's size for any image.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (std::size_t s = 0; s < sectionCount && s < image.sections.size(); ++s) {
    const Section& section = image.sections[s];
    const std::uint64_t begin = AlignUp(section.pointerToRawData, shape.pointerSize);
    const std::uint64_t end = std::min<std::uint64_t>(
        std::uint64_t{section.pointerToRawData} + section.sizeOfRawData, file.head.size());
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
      if (TableAt(file, image, sectionCount, shape, static_cast<std::size_t>(at), &sizes)) {
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
                tables == 0 ? "the image holds no table of the file sizes its launcher was "
                              "compiled with: it is not a launcher of these sources"
                            : "the image holds more than one table of the file sizes its "
                              "launcher was compiled with");
}
