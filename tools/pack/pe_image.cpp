#include "pe_image.h"

#include <algorithm>

namespace {

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool ParseSection(const Bytes& bytes, std::size_t at, Section* section) {
  using namespace sectionHeader;
  section->headerOffset = at;
  if (!Get(bytes, at, kVirtualSize, &section->virtualSize) ||
      !Get(bytes, at, kVirtualAddress, &section->virtualAddress) ||
      !Get(bytes, at, kSizeOfRawData, &section->sizeOfRawData) ||
      !Get(bytes, at, kPointerToRawData, &section->pointerToRawData) ||
      !Get(bytes, at, kCharacteristics, &section->characteristics)) {
    return false;
  }
  for (std::size_t c = 0; c < kNameSize && bytes[at + c] != 0; ++c) {
    section->name += Printable(bytes[at + c]);
  }
  return true;
}

bool ParseSectionTable(const Bytes& bytes, std::uint32_t count, PeImage* image,
                       std::string* error) {
  for (std::uint32_t i = 0; i < count; ++i) {
    Section section;
    if (!ParseSection(bytes,
                      image->sectionTableOffset + std::size_t{i} * sectionHeader::kRecordSize,
                      &section)) {
      return Refuse(error, "truncated image: the section table is cut short");
    }
    if (section.pointerToRawData > bytes.size() ||
        bytes.size() - section.pointerToRawData < section.sizeOfRawData) {
      return Refuse(error, "truncated image: section " + std::to_string(i) + " lies past the end");
    }
    image->sections.push_back(section);
  }
  return true;
}

bool ParseOptionalHeader(const Bytes& bytes, std::uint32_t optionalSize, PeImage* image,
                         std::string* error) {
  using namespace optional;
  const std::size_t o = image->optionalOffset;
  const bool is64 = image->is64;
  if (!Get(bytes, o, Of(kSectionAlignment, is64), &image->sectionAlignment) ||
      !Get(bytes, o, Of(kFileAlignment, is64), &image->fileAlignment) ||
      !Get(bytes, o, Of(kSizeOfImage, is64), &image->sizeOfImage) ||
      !Get(bytes, o, Of(kSizeOfHeaders, is64), &image->sizeOfHeaders) ||
      !Get(bytes, o, Of(kNumberOfRvaAndSizes, is64), &image->numberOfRvaAndSizes)) {
    return Refuse(error, "truncated image: the optional header is cut short");
  }
  if (!IsPowerOfTwo(image->fileAlignment) || !IsPowerOfTwo(image->sectionAlignment) ||
      image->fileAlignment > image->sectionAlignment) {
    return Refuse(error, "bad section or file alignment");
  }
  const std::uint64_t directoriesEnd =
      Of(kDataDirectories, is64).offset +
      std::uint64_t{image->numberOfRvaAndSizes} * dataDirectory::kRecordSize;
  if (image->numberOfRvaAndSizes > dataDirectory::kMaxCount || directoriesEnd > optionalSize) {
    return Refuse(error, "bad data directory count");
  }
  return true;
}

}  // namespace

bool ParsePeImage(const Bytes& bytes, PeImage* image, std::string* error) {
  *image = PeImage{};
  std::uint32_t magic = 0;
  if (!Get(bytes, 0, dos::kMagic, &magic) || magic != dos::kMagicValue) {
    return Refuse(error, "not a PE image (no MZ header)");
  }
  std::uint32_t peOffset = 0;
  std::uint32_t signature = 0;
  if (!Get(bytes, 0, dos::kNewHeader, &peOffset) ||
      !Get(bytes, peOffset, Field{"Signature", 0, 4}, &signature)) {
    return Refuse(error, "truncated image: the PE header lies past the end of the file");
  }
  if (signature != coff::kSignatureValue) {
    return Refuse(error, "not a PE image (no PE signature)");
  }
  image->coffOffset = std::size_t{peOffset} + coff::kSignatureSize;
  image->optionalOffset = image->coffOffset + coff::kRecordSize;
  std::uint32_t machine = 0;
  std::uint32_t sectionCount = 0;
  std::uint32_t optionalSize = 0;
  if (!Get(bytes, image->coffOffset, coff::kMachine, &machine) ||
      !Get(bytes, image->coffOffset, coff::kNumberOfSections, &sectionCount) ||
      !Get(bytes, image->coffOffset, coff::kSizeOfOptionalHeader, &optionalSize) ||
      !Get(bytes, image->optionalOffset, optional::kMagic, &magic)) {
    return Refuse(error, "truncated image: the file header is cut short");
  }
  if (magic != optional::kPe32Magic && magic != optional::kPe32PlusMagic) {
    return Refuse(error, "unknown optional header magic");
  }
  image->machine = static_cast<std::uint16_t>(machine);
  image->is64 = magic == optional::kPe32PlusMagic;
  image->sectionTableOffset = image->optionalOffset + optionalSize;
  return ParseOptionalHeader(bytes, optionalSize, image, error) &&
         ParseSectionTable(bytes, sectionCount, image, error);
}

std::size_t OptionalFieldAt(const PeImage& image, optional::FormatField field) {
  return image.optionalOffset + optional::Of(field, image.is64).offset;
}

std::uint32_t OptionalField(const Bytes& bytes, const PeImage& image, optional::FormatField field) {
  std::uint32_t value = 0;
  (void)Get(bytes, image.optionalOffset, optional::Of(field, image.is64), &value);
  return value;
}

std::size_t DataDirectoryAt(const PeImage& image, int index) {
  return OptionalFieldAt(image, optional::kDataDirectories) +
         static_cast<std::size_t>(index) * dataDirectory::kRecordSize;
}

DataDirectory ReadDataDirectory(const Bytes& bytes, const PeImage& image, int index) {
  DataDirectory directory;
  if (index < 0 || static_cast<std::uint32_t>(index) >= image.numberOfRvaAndSizes) {
    return directory;
  }
  const std::size_t at = DataDirectoryAt(image, index);
  if (!Get(bytes, at, dataDirectory::kVirtualAddress, &directory.rva) ||
      !Get(bytes, at, dataDirectory::kSize, &directory.size)) {
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
  const DataDirectory imports = ReadDataDirectory(bytes, image, dataDirectory::kImport);
  if (imports.rva == 0) {
    return true;
  }
  std::size_t at = 0;
  if (!RvaToOffset(image, imports.rva, importDescriptor::kRecordSize, &at)) {
    return Refuse(error, "import table lies outside the sections");
  }
  for (;; at += importDescriptor::kRecordSize) {
    std::uint32_t nameRva = 0;
    if (!Get(bytes, at, importDescriptor::kName, &nameRva)) {
      return Refuse(error, "import table is cut short");
    }
    if (nameRva == 0) {
      return true;
    }
    std::size_t nameOffset = 0;
    if (!RvaToOffset(image, nameRva, 1, &nameOffset)) {
      return Refuse(error, "import name lies outside the sections");
    }
    std::string name;
    while (nameOffset < bytes.size() && bytes[nameOffset] != 0 && name.size() < 256) {
      name += Printable(bytes[nameOffset++]);
    }
    dlls->push_back(name);
  }
}
