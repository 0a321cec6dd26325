#include "pe/pe_image.h"

#include <algorithm>

#include "io/shown.h"

namespace {

[[nodiscard]] bool IsPowerOfTwo(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// One record of the section table, read whole into `table`.
void ParseSection(const Bytes& table, std::size_t at, Section* section) {
  using namespace sectionHeader;
  (void)Get(table, at, kVirtualSize, &section->virtualSize);
  (void)Get(table, at, kVirtualAddress, &section->virtualAddress);
  (void)Get(table, at, kSizeOfRawData, &section->sizeOfRawData);
  (void)Get(table, at, kPointerToRawData, &section->pointerToRawData);
  (void)Get(table, at, kCharacteristics, &section->characteristics);
  for (std::size_t c = 0; c < kNameSize && table[at + c] != 0; ++c) {
    section->name += Printable(table[at + c]);
  }
}

// The table is read in one piece: 65,535 records are a few megabytes, and reading them
// field by field from past the head would cost a system call each.
[[nodiscard]] bool ParseSectionTable(const ImageFile& file, std::uint32_t count, PeImage* image,
                                     Report* report) {
  Bytes table(std::size_t{count} * sectionHeader::kRecordSize);
  if (!ReadAt(file, image->sectionTableOffset, table.size(), table.data())) {
    return Refuse(report, file.path, "truncated image: the section table is cut short");
  }
  image->sections.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    Section section;
    const std::size_t at = std::size_t{i} * sectionHeader::kRecordSize;
    section.headerOffset = image->sectionTableOffset + at;
    ParseSection(table, at, &section);
    if (section.pointerToRawData > file.size ||
        file.size - section.pointerToRawData < section.sizeOfRawData) {
      return Refuse(report, file.path,
                    "truncated image: section " + std::to_string(i) + " lies past the end");
    }
    image->sections.push_back(section);
  }
  return true;
}

[[nodiscard]] bool ParseDataDirectories(const ImageFile& file, PeImage* image, Report* report) {
  for (std::uint32_t i = 0; i < image->numberOfRvaAndSizes; ++i) {
    const std::size_t at = DataDirectoryAt(*image, static_cast<int>(i));
    DataDirectory directory;
    if (!ReadField(file, at, dataDirectory::kVirtualAddress, &directory.rva) ||
        !ReadField(file, at, dataDirectory::kSize, &directory.size)) {
      return Refuse(report, file.path, "truncated image: the data directories are cut short");
    }
    image->directories.push_back(directory);
  }
  return true;
}

[[nodiscard]] bool ParseOptionalHeader(const ImageFile& file, std::uint32_t optionalSize,
                                       PeImage* image, Report* report) {
  using namespace optional;
  const std::size_t o = image->optionalOffset;
  const bool is64 = image->is64;
  if (!ReadField(file, o, kAddressOfEntryPoint, &image->entryPoint) ||
      !ReadField(file, o, Of(kSectionAlignment, is64), &image->sectionAlignment) ||
      !ReadField(file, o, Of(kFileAlignment, is64), &image->fileAlignment) ||
      !ReadField(file, o, Of(kSizeOfImage, is64), &image->sizeOfImage) ||
      !ReadField(file, o, Of(kSizeOfHeaders, is64), &image->sizeOfHeaders) ||
      !ReadField(file, o, Of(kNumberOfRvaAndSizes, is64), &image->numberOfRvaAndSizes) ||
      !ReadField(file, o, Of(kCheckSum, is64), &image->checkSum)) {
    return Refuse(report, file.path, "truncated image: the optional header is cut short");
  }
  const std::uint32_t fileAlignment = image->fileAlignment;
  const std::uint32_t sectionAlignment = image->sectionAlignment;
  if (!IsPowerOfTwo(fileAlignment) || fileAlignment < kSmallestFileAlignment ||
      fileAlignment > kLargestFileAlignment || !IsPowerOfTwo(sectionAlignment) ||
      sectionAlignment < fileAlignment || sectionAlignment > kLargestSectionAlignment) {
    return Refuse(report, file.path,
                  "FileAlignment " + Hex(fileAlignment) + " and SectionAlignment " +
                      Hex(sectionAlignment) + " are not powers of two with " +
                      Hex(kSmallestFileAlignment) +
                      " <= FileAlignment <= " + Hex(kLargestFileAlignment) +
                      " and FileAlignment <= SectionAlignment <= " + Hex(kLargestSectionAlignment));
  }
  const std::uint64_t directoriesEnd =
      Of(kDataDirectories, is64).offset +
      std::uint64_t{image->numberOfRvaAndSizes} * dataDirectory::kRecordSize;
  if (image->numberOfRvaAndSizes > dataDirectory::kMaxCount || directoriesEnd > optionalSize) {
    return Refuse(report, file.path, "bad data directory count");
  }
  return ParseDataDirectories(file, image, report);
}

}  // namespace

[[nodiscard]] bool ParsePeImage(const ImageFile& file, PeImage* image, Report* report) {
  *image = PeImage{};
  std::uint32_t magic = 0;
  if (!ReadField(file, 0, dos::kMagic, &magic) || magic != dos::kMagicValue) {
    return Refuse(report, file.path, "not a PE image (no MZ header)");
  }
  std::uint32_t peOffset = 0;
  std::uint32_t signature = 0;
  if (!ReadField(file, 0, dos::kNewHeader, &peOffset) ||
      !ReadField(file, peOffset, Field{"Signature", 0, 4}, &signature)) {
    return Refuse(report, file.path,
                  "truncated image: the PE header lies past the end of the file");
  }
  if (signature != coff::kSignatureValue) {
    return Refuse(report, file.path, "not a PE image (no PE signature)");
  }
  image->coffOffset = std::size_t{peOffset} + coff::kSignatureSize;
  image->optionalOffset = image->coffOffset + coff::kRecordSize;
  std::uint32_t machine = 0;
  std::uint32_t characteristics = 0;
  std::uint32_t sectionCount = 0;
  std::uint32_t optionalSize = 0;
  if (!ReadField(file, image->coffOffset, coff::kMachine, &machine) ||
      !ReadField(file, image->coffOffset, coff::kNumberOfSections, &sectionCount) ||
      !ReadField(file, image->coffOffset, coff::kSizeOfOptionalHeader, &optionalSize) ||
      !ReadField(file, image->coffOffset, coff::kCharacteristics, &characteristics) ||
      !ReadField(file, image->optionalOffset, optional::kMagic, &magic)) {
    return Refuse(report, file.path, "truncated image: the file header is cut short");
  }
  if (magic != optional::kPe32Magic && magic != optional::kPe32PlusMagic) {
    return Refuse(report, file.path, "unknown optional header magic");
  }
  image->machine = static_cast<std::uint16_t>(machine);
  image->characteristics = static_cast<std::uint16_t>(characteristics);
  image->is64 = magic == optional::kPe32PlusMagic;
  image->sectionTableOffset = image->optionalOffset + optionalSize;
  return ParseOptionalHeader(file, optionalSize, image, report) &&
         ParseSectionTable(file, sectionCount, image, report);
}

std::size_t OptionalFieldAt(const PeImage& image, optional::FormatField field) {
  return image.optionalOffset + optional::Of(field, image.is64).offset;
}

[[nodiscard]] bool ReadOptionalField(const ImageFile& file, const PeImage& image,
                                     optional::FormatField field, std::uint32_t* value) {
  return ReadField(file, image.optionalOffset, optional::Of(field, image.is64), value);
}

std::size_t DataDirectoryAt(const PeImage& image, int index) {
  return OptionalFieldAt(image, optional::kDataDirectories) +
         static_cast<std::size_t>(index) * dataDirectory::kRecordSize;
}

DataDirectory DataDirectoryOf(const PeImage& image, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= image.directories.size()) {
    return DataDirectory{};
  }
  return image.directories[static_cast<std::size_t>(index)];
}

std::uint64_t MappedEnd(const PeImage& image, const Section& section) {
  const std::uint32_t size = section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
  return section.virtualAddress + AlignUp(size, image.sectionAlignment);
}

std::uint64_t RawEnd(const PeImage& image) {
  std::uint64_t end = image.sizeOfHeaders;
  for (const Section& section : image.sections) {
    end = std::max<std::uint64_t>(end,
                                  std::uint64_t{section.pointerToRawData} + section.sizeOfRawData);
  }
  return end;
}

std::uint64_t FirstRawOffset(const PeImage& image, std::uint64_t fileSize) {
  std::uint64_t first = fileSize;
  for (const Section& section : image.sections) {
    if (section.sizeOfRawData != 0) {
      first = std::min<std::uint64_t>(first, section.pointerToRawData);
    }
  }
  return first;
}

const Section* SectionOfRva(const PeImage& image, std::uint32_t rva, std::uint32_t size) {
  for (const Section& section : image.sections) {
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.sizeOfRawData &&
        section.sizeOfRawData - (rva - section.virtualAddress) >= size) {
      return &section;
    }
  }
  return nullptr;
}
