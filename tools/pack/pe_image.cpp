#include "pe_image.h"

#include <algorithm>

bool ReadU16(const Bytes& bytes, std::size_t offset, std::uint16_t* value) {
  if (bytes.size() < 2 || offset > bytes.size() - 2) {
    return false;
  }
  *value = static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
  return true;
}

bool ReadU32(const Bytes& bytes, std::size_t offset, std::uint32_t* value) {
  if (bytes.size() < 4 || offset > bytes.size() - 4) {
    return false;
  }
  *value = static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
  return true;
}

void WriteU16(Bytes* bytes, std::size_t offset, std::uint16_t value) {
  (*bytes)[offset] = static_cast<std::uint8_t>(value);
  (*bytes)[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void WriteU32(Bytes* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    (*bytes)[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

namespace {

constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

bool ParsePeImage(const Bytes& bytes, PeImage* image, std::string* error) {
  *image = PeImage{};
  std::uint16_t dosMagic = 0;
  if (!ReadU16(bytes, 0, &dosMagic) || dosMagic != 0x5A4D) {
    return Fail(error, "not a PE image (no MZ header)");
  }
  std::uint32_t peOffset = 0;
  std::uint32_t signature = 0;
  if (!ReadU32(bytes, 0x3C, &peOffset) || !ReadU32(bytes, peOffset, &signature)) {
    return Fail(error, "truncated image: the PE header lies past the end of the file");
  }
  if (signature != 0x00004550) {
    return Fail(error, "not a PE image (no PE signature)");
  }
  image->coffOffset = std::size_t{peOffset} + 4;
  std::uint16_t sectionCount = 0;
  std::uint16_t optionalSize = 0;
  std::uint16_t magic = 0;
  image->optionalOffset = image->coffOffset + 20;
  if (!ReadU16(bytes, image->coffOffset, &image->machine) ||
      !ReadU16(bytes, image->coffOffset + 2, &sectionCount) ||
      !ReadU16(bytes, image->coffOffset + 16, &optionalSize) ||
      !ReadU16(bytes, image->optionalOffset, &magic)) {
    return Fail(error, "truncated image: the file header is cut short");
  }
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    return Fail(error, "unknown optional header magic");
  }
  image->is64 = magic == kPe32PlusMagic;
  const std::size_t o = image->optionalOffset;
  const std::size_t directoryCountOffset = o + (image->is64 ? 108 : 92);
  image->dataDirectoryOffset = directoryCountOffset + 4;
  if (!ReadU32(bytes, o + 32, &image->sectionAlignment) ||
      !ReadU32(bytes, o + 36, &image->fileAlignment) ||
      !ReadU32(bytes, o + 56, &image->sizeOfImage) ||
      !ReadU32(bytes, o + 60, &image->sizeOfHeaders) ||
      !ReadU32(bytes, directoryCountOffset, &image->numberOfRvaAndSizes)) {
    return Fail(error, "truncated image: the optional header is cut short");
  }
  if (!IsPowerOfTwo(image->fileAlignment) || !IsPowerOfTwo(image->sectionAlignment) ||
      image->fileAlignment > image->sectionAlignment) {
    return Fail(error, "bad section or file alignment");
  }
  if (image->numberOfRvaAndSizes > 16 ||
      image->dataDirectoryOffset + std::size_t{image->numberOfRvaAndSizes} * 8 > o + optionalSize) {
    return Fail(error, "bad data directory count");
  }
  image->sectionTableOffset = o + optionalSize;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::size_t at = image->sectionTableOffset + std::size_t{i} * kSectionHeaderSize;
    Section section{};
    if (!ReadU32(bytes, at + 8, &section.virtualSize) ||
        !ReadU32(bytes, at + 12, &section.virtualAddress) ||
        !ReadU32(bytes, at + 16, &section.sizeOfRawData) ||
        !ReadU32(bytes, at + 20, &section.pointerToRawData) ||
        !ReadU32(bytes, at + 36, &section.characteristics)) {
      return Fail(error, "truncated image: the section table is cut short");
    }
    for (std::size_t c = 0; c < 8 && bytes[at + c] != 0; ++c) {
      section.name += static_cast<char>(bytes[at + c]);
    }
    if (section.pointerToRawData > bytes.size() ||
        bytes.size() - section.pointerToRawData < section.sizeOfRawData) {
      return Fail(error, "truncated image: section " + section.name + " lies past the end");
    }
    image->sections.push_back(section);
  }
  return true;
}

DataDirectory ReadDataDirectory(const Bytes& bytes, const PeImage& image, int index) {
  DataDirectory directory;
  if (index < 0 || static_cast<std::uint32_t>(index) >= image.numberOfRvaAndSizes) {
    return directory;
  }
  const std::size_t at = image.dataDirectoryOffset + static_cast<std::size_t>(index) * 8;
  if (!ReadU32(bytes, at, &directory.rva) || !ReadU32(bytes, at + 4, &directory.size)) {
    return DataDirectory{};
  }
  return directory;
}

bool RvaToOffset(const PeImage& image, std::uint32_t rva, std::uint32_t size, std::size_t* offset) {
  const auto holds = [rva, size](const Section& section) {
    return rva >= section.virtualAddress && rva - section.virtualAddress <= section.sizeOfRawData &&
           section.sizeOfRawData - (rva - section.virtualAddress) >= size;
  };
  const auto section = std::find_if(image.sections.begin(), image.sections.end(), holds);
  if (section == image.sections.end()) {
    return false;
  }
  *offset = std::size_t{section->pointerToRawData} + (rva - section->virtualAddress);
  return true;
}

std::size_t CheckSumOffset(const PeImage& image) { return image.optionalOffset + 64; }
std::size_t SizeOfInitializedDataOffset(const PeImage& image) { return image.optionalOffset + 8; }
std::size_t SizeOfImageOffset(const PeImage& image) { return image.optionalOffset + 56; }

std::uint16_t DllCharacteristics(const Bytes& bytes, const PeImage& image) {
  std::uint16_t value = 0;
  (void)ReadU16(bytes, image.optionalOffset + 70, &value);
  return value;
}

std::uint16_t Subsystem(const Bytes& bytes, const PeImage& image) {
  std::uint16_t value = 0;
  (void)ReadU16(bytes, image.optionalOffset + 68, &value);
  return value;
}

std::uint32_t ComputeCheckSum(const Bytes& bytes, std::size_t checkSumOffset) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    std::uint32_t word = bytes[i];
    if (i + 1 < bytes.size()) {
      word |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    }
    if (i >= checkSumOffset && i < checkSumOffset + 4) {
      word = 0;
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + bytes.size());
}

bool ReadImportedDlls(const Bytes& bytes, const PeImage& image, std::vector<std::string>* dlls,
                      std::string* error) {
  const DataDirectory imports = ReadDataDirectory(bytes, image, 1);
  if (imports.rva == 0) {
    return true;
  }
  std::size_t at = 0;
  if (!RvaToOffset(image, imports.rva, 20, &at)) {
    return Fail(error, "import table lies outside the sections");
  }
  for (;; at += 20) {
    std::uint32_t nameRva = 0;
    if (!ReadU32(bytes, at + 12, &nameRva)) {
      return Fail(error, "import table is cut short");
    }
    if (nameRva == 0) {
      return true;
    }
    std::size_t nameOffset = 0;
    if (!RvaToOffset(image, nameRva, 1, &nameOffset)) {
      return Fail(error, "import name lies outside the sections");
    }
    std::string name;
    while (nameOffset < bytes.size() && bytes[nameOffset] != 0 && name.size() < 256) {
      name += static_cast<char>(bytes[nameOffset++]);
    }
    dlls->push_back(name);
  }
}
