// The fields a Windows loader and a signature check trust: header sizes, the section
// table, the image size, the checksum and the certificate table.
#include <algorithm>

#include "pe_image.h"

namespace {

constexpr std::uint32_t kWritable = 0x80000000u;
constexpr std::uint32_t kExecutable = 0x20000000u;

void CheckHeaderSize(const Bytes& bytes, const PeImage& image, std::vector<std::string>* problems) {
  const std::uint64_t tableEnd =
      image.sectionTableOffset + image.sections.size() * std::uint64_t{sectionHeader::kRecordSize};
  std::uint64_t firstRaw = bytes.size();
  for (const Section& section : image.sections) {
    if (section.sizeOfRawData != 0) {
      firstRaw = std::min<std::uint64_t>(firstRaw, section.pointerToRawData);
    }
  }
  const std::uint32_t size = image.sizeOfHeaders;
  if (size < tableEnd || size > firstRaw || size % image.fileAlignment != 0) {
    problems->push_back("SizeOfHeaders " + Hex(size) + " does not end between the section table (" +
                        Hex(tableEnd) + ") and the first section (" + Hex(firstRaw) +
                        ") on a file-alignment boundary");
  }
}

// The end of a section in memory, as the loader maps it.
std::uint64_t MappedEnd(const Section& section, std::uint32_t alignment) {
  const std::uint32_t size = section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
  return section.virtualAddress + AlignUp(size, alignment);
}

void CheckSections(const PeImage& image, std::vector<std::string>* problems) {
  std::uint64_t end = AlignUp(image.sizeOfHeaders, image.sectionAlignment);
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    const Section& section = image.sections[i];
    const std::string what = "section " + std::to_string(i) + " (" + section.name + ")";
    if (section.virtualAddress % image.sectionAlignment != 0 || section.virtualAddress < end) {
      problems->push_back(what + " at " + Hex(section.virtualAddress) +
                          " is not aligned or overlaps what comes before it, which ends at " +
                          Hex(end));
    }
    end = std::max(end, MappedEnd(section, image.sectionAlignment));
    if ((section.characteristics & (kWritable | kExecutable)) == (kWritable | kExecutable)) {
      problems->push_back(what + " is both writable and executable");
    }
  }
  if (end > kLargestImage) {
    problems->push_back("the sections end at " + Hex(end) + ", past the " + Hex(kLargestImage) +
                        " bytes a 32-bit Windows image spans");
  }
  if (image.sizeOfImage != end) {
    problems->push_back("SizeOfImage is " + Hex(image.sizeOfImage) + ", expected " + Hex(end));
  }
}

std::uint64_t RawEnd(const PeImage& image) {
  std::uint64_t end = image.sizeOfHeaders;
  for (const Section& section : image.sections) {
    end = std::max<std::uint64_t>(end,
                                  std::uint64_t{section.pointerToRawData} + section.sizeOfRawData);
  }
  return end;
}

}  // namespace

Signature ReadSignature(const Bytes& bytes, const PeImage& image, std::string* problem) {
  const DataDirectory table = ReadDataDirectory(bytes, image, dataDirectory::kSecurity);
  if (table.rva == 0 && table.size == 0) {
    return Signature::kNone;
  }
  std::uint32_t length = 0;
  std::uint32_t revision = 0;
  std::uint32_t type = 0;
  const bool placed = table.rva >= RawEnd(image) && table.rva % 8 == 0 &&
                      std::uint64_t{table.rva} + table.size <= bytes.size();
  if (!placed || table.size < certificate::kHeaderSize) {
    *problem = "the certificate table is not after the last section, or holds no signature (" +
               Hex(table.rva) + ", " + std::to_string(table.size) + " bytes)";
    return Signature::kMalformed;
  }
  (void)Get(bytes, table.rva, certificate::kLength, &length);
  (void)Get(bytes, table.rva, certificate::kRevision, &revision);
  (void)Get(bytes, table.rva, certificate::kType, &type);
  if (length < certificate::kHeaderSize || length > table.size ||
      revision != certificate::kRevision2 || type != certificate::kPkcsSignedData) {
    *problem = "the certificate table's first entry is not a signature of " +
               std::to_string(table.size) + " bytes or fewer";
    return Signature::kMalformed;
  }
  return Signature::kSigned;
}

std::vector<std::string> LoaderProblems(const Bytes& bytes, const PeImage& image) {
  std::vector<std::string> problems;
  CheckHeaderSize(bytes, image, &problems);
  CheckSections(image, &problems);
  const std::size_t checkSumAt = OptionalFieldAt(image, optional::kCheckSum);
  if (OptionalField(bytes, image, optional::kCheckSum) != ComputeCheckSum(bytes, checkSumAt)) {
    problems.emplace_back("the image checksum is wrong");
  }
  std::string problem;
  if (ReadSignature(bytes, image, &problem) == Signature::kMalformed) {
    problems.push_back(problem);
  }
  return problems;
}
