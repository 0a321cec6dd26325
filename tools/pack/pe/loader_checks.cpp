// The fields a Windows loader and a signature check trust: header sizes, the section
// table, the entry point, the data directories, the image size, what follows the last
// section, the checksum and the certificate table.
#include "pe/loader_checks.h"

#include <algorithm>

#include "io/shown.h"

namespace {

std::string SectionName(std::size_t index, const Section& section) {
  return "section " + std::to_string(index) + " (" + section.name + ")";
}

void CheckHeaderSize(const ImageFile& file, const PeImage& image, Report* report) {
  const std::uint64_t tableEnd =
      image.sectionTableOffset + image.sections.size() * std::uint64_t{sectionHeader::kRecordSize};
  const std::uint64_t firstRaw = FirstRawOffset(image, file.size);
  const std::uint32_t size = image.sizeOfHeaders;
  if (size < tableEnd || size > firstRaw || size % image.fileAlignment != 0) {
    Refuse(report, file.path,
           "SizeOfHeaders " + Hex(size) + " does not end between the section table (" +
               Hex(tableEnd) + ") and the first section (" + Hex(firstRaw) +
               ") on a file-alignment boundary");
  }
}

void CheckSections(const ImageFile& file, const PeImage& image, Report* report) {
  using sectionHeader::kExecutable;
  using sectionHeader::kWritable;
  std::uint64_t end = AlignUp(image.sizeOfHeaders, image.sectionAlignment);
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    const Section& section = image.sections[i];
    const std::string what = SectionName(i, section);
    if (section.virtualAddress % image.sectionAlignment != 0 || section.virtualAddress < end) {
      Refuse(report, file.path,
             what + " at " + Hex(section.virtualAddress) +
                 " is not aligned or overlaps what comes before it, which ends at " + Hex(end));
    }
    if (section.sizeOfRawData != 0 && section.pointerToRawData % image.fileAlignment != 0) {
      Refuse(report, file.path,
             what + "'s raw data at " + Hex(section.pointerToRawData) +
                 " is not on a FileAlignment (" + Hex(image.fileAlignment) + ") boundary");
    }
    end = std::max(end, MappedEnd(image, section));
    if ((section.characteristics & (kWritable | kExecutable)) == (kWritable | kExecutable)) {
      Refuse(report, file.path, what + " is both writable and executable");
    }
  }
  if (end > kLargestImage) {
    Refuse(report, file.path,
           "the sections end at " + Hex(end) + ", past the " + Hex(kLargestImage) +
               " bytes a 32-bit Windows image spans");
  }
  if (image.sizeOfImage != end) {
    Refuse(report, file.path,
           "SizeOfImage is " + Hex(image.sizeOfImage) + ", expected " + Hex(end));
  }
}

void CheckEntryPoint(const ImageFile& file, const PeImage& image, Report* report) {
  const auto runsIt = [&image](const Section& section) {
    return (section.characteristics & sectionHeader::kExecutable) != 0 &&
           image.entryPoint >= section.virtualAddress &&
           image.entryPoint < MappedEnd(image, section);
  };
  if (std::none_of(image.sections.begin(), image.sections.end(), runsIt)) {
    Refuse(report, file.path,
           "the entry point " + Hex(image.entryPoint) + " lies in no executable section");
  }
}

// Every data directory but the certificate table (a file offset, checked with the
// signature) lies inside the image, and none but the resource directory in the store.
void CheckDataDirectories(const ImageFile& file, const PeImage& image, std::size_t storeSection,
                          Report* report) {
  for (std::uint32_t index = 0; index < image.numberOfRvaAndSizes; ++index) {
    const DataDirectory directory = DataDirectoryOf(image, static_cast<int>(index));
    if (static_cast<int>(index) == dataDirectory::kSecurity ||
        (directory.rva == 0 && directory.size == 0)) {
      continue;
    }
    const std::string what = std::string("the ") + dataDirectory::kNames[index] + " directory (" +
                             Hex(directory.rva) + ", " + std::to_string(directory.size) + " bytes)";
    const std::uint64_t end = std::uint64_t{directory.rva} + directory.size;
    if (end > image.sizeOfImage) {
      Refuse(report, file.path,
             what + " lies outside the image, which ends at " + Hex(image.sizeOfImage));
      continue;
    }
    if (storeSection >= image.sections.size() ||
        static_cast<int>(index) == dataDirectory::kResource) {
      continue;
    }
    const Section& store = image.sections[storeSection];
    if (directory.rva < MappedEnd(image, store) && end > store.virtualAddress) {
      Refuse(report, file.path, what + " lies in the store's section");
    }
  }
}

// Whatever follows the last section must be the certificate table, which a signature
// places there, eight-byte aligned, up to the end of the file.
void CheckTrailingData(const ImageFile& file, const PeImage& image, Report* report) {
  const std::uint64_t rawEnd = RawEnd(image);
  if (file.size <= rawEnd) {
    return;
  }
  const DataDirectory table = DataDirectoryOf(image, dataDirectory::kSecurity);
  // Where the table ends is the table's own rule, which ReadSignature names.
  const bool isTheTable = table.size != 0 && table.rva == AlignUp(rawEnd, 8);
  if (!isTheTable) {
    Refuse(report, file.path,
           std::to_string(file.size - rawEnd) + " bytes after the last section, from " +
               Hex(rawEnd) + ", are not a certificate table");
  }
}

// What follows the one entry a signature writes: nothing, or a second entry a Windows loader
// that checks padding refuses, or bytes that are no entry at all.
std::string AfterTheEntry(const ImageFile& file, std::uint64_t at, std::uint64_t tableEnd) {
  std::uint32_t length = 0;
  std::uint32_t revision = 0;
  if (tableEnd - at >= certificate::kHeaderSize &&
      ReadField(file, at, certificate::kLength, &length) &&
      ReadField(file, at, certificate::kRevision, &revision) &&
      length >= certificate::kHeaderSize && revision == certificate::kRevision2) {
    return "the certificate table holds a second entry";
  }
  return "the certificate table holds " + std::to_string(tableEnd - at) + " bytes after its entry";
}

// The entry's padding to eight bytes, which must be zero.
bool PaddingIsZero(const ImageFile& file, std::uint64_t from, std::uint64_t to) {
  std::uint8_t padding[8] = {};
  return to - from < sizeof padding && ReadAt(file, from, to - from, padding) &&
         std::all_of(padding, padding + (to - from), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

// As a Windows loader that checks padding reads the table: one entry, padded with zeros to
// eight bytes, and the table ends the file.
Signature ReadSignature(const ImageFile& file, const PeImage& image, Report* report) {
  const DataDirectory table = DataDirectoryOf(image, dataDirectory::kSecurity);
  if (table.rva == 0 && table.size == 0) {
    return Signature::kNone;
  }
  std::uint32_t length = 0;
  std::uint32_t revision = 0;
  std::uint32_t type = 0;
  const std::uint64_t tableEnd = std::uint64_t{table.rva} + table.size;
  const bool placed = table.rva >= RawEnd(image) && table.rva % 8 == 0 && tableEnd <= file.size;
  if (!placed || table.size < certificate::kHeaderSize) {
    Refuse(report, file.path,
           "the certificate table is not after the last section, or holds no signature (" +
               Hex(table.rva) + ", " + std::to_string(table.size) + " bytes)");
    return Signature::kMalformed;
  }
  (void)ReadField(file, table.rva, certificate::kLength, &length);
  (void)ReadField(file, table.rva, certificate::kRevision, &revision);
  (void)ReadField(file, table.rva, certificate::kType, &type);
  if (length < certificate::kHeaderSize || length > table.size ||
      revision != certificate::kRevision2 || type != certificate::kPkcsSignedData) {
    Refuse(report, file.path,
           "the certificate table's first entry is not a signature of " +
               std::to_string(table.size) + " bytes or fewer");
    return Signature::kMalformed;
  }
  const std::uint64_t entryEnd = std::uint64_t{table.rva} + length;
  const std::uint64_t paddedEnd = std::min(AlignUp(entryEnd, 8), tableEnd);
  bool wellFormed = true;
  if (!PaddingIsZero(file, entryEnd, paddedEnd)) {
    wellFormed = Refuse(report, file.path, "the certificate entry's padding is not zero");
  }
  if (paddedEnd < tableEnd) {
    wellFormed = Refuse(report, file.path, AfterTheEntry(file, paddedEnd, tableEnd));
  }
  if (tableEnd < file.size) {
    wellFormed = Refuse(report, file.path,
                        std::to_string(file.size - tableEnd) +
                            " bytes follow the certificate table, which must end the file");
  }
  return wellFormed ? Signature::kSigned : Signature::kMalformed;
}

void LoaderProblems(const ImageFile& file, const PeImage& image, std::size_t storeSection,
                    Report* report) {
  CheckHeaderSize(file, image, report);
  CheckSections(file, image, report);
  CheckEntryPoint(file, image, report);
  CheckDataDirectories(file, image, storeSection, report);
  CheckTrailingData(file, image, report);
  (void)ReadSignature(file, image, report);
}

void CheckCheckSum(const ImageFile& file, const PeImage& image, std::uint32_t computed,
                   Report* report) {
  if (image.checkSum != computed) {
    Refuse(report, file.path, "the image checksum is wrong");
  }
}
