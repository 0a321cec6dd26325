// A PE32 or PE32+ image: its headers and section table, parsed within bounds from an image
// file, and the checks of the fields a Windows loader relies on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pe/image_file.h"

struct Section {
  std::string name;
  std::size_t headerOffset = 0;  // of its section header in the file
  std::uint32_t virtualSize = 0;
  std::uint32_t virtualAddress = 0;
  std::uint32_t sizeOfRawData = 0;
  std::uint32_t pointerToRawData = 0;
  std::uint32_t characteristics = 0;
};

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct PeImage {
  bool is64 = false;
  std::uint16_t machine = 0;
  std::uint16_t characteristics = 0;  // of the COFF file header
  std::size_t coffOffset = 0;         // the COFF file header, after "PE\0\0"
  std::size_t optionalOffset = 0;     // the optional header
  std::size_t sectionTableOffset = 0;
  std::uint32_t entryPoint = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t fileAlignment = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t numberOfRvaAndSizes = 0;
  std::uint32_t checkSum = 0;
  std::vector<DataDirectory> directories;  // numberOfRvaAndSizes of them
  std::vector<Section> sections;
};

// A 32-bit image is mapped below 2 GB, whatever its flags.
constexpr std::uint64_t kLargestImage = 0x80000000u;

// The alignments the PE format allows: FileAlignment a power of two from 512 to 64 KiB,
// SectionAlignment a power of two from FileAlignment to kLargestSectionAlignment.
constexpr std::uint32_t kSmallestFileAlignment = 0x200;
constexpr std::uint32_t kLargestFileAlignment = 0x10000;
constexpr std::uint32_t kLargestSectionAlignment = 0x100000;

// Parses the headers and the section table; false with the problem on malformed input.
[[nodiscard]] bool ParsePeImage(const ImageFile& file, PeImage* image, Report* report);

// A field of the optional header, at its place for this image's format.
std::size_t OptionalFieldAt(const PeImage& image, optional::FormatField field);
// False when the field's bytes are not in the file.
[[nodiscard]] bool ReadOptionalField(const ImageFile& file, const PeImage& image,
                                     optional::FormatField field, std::uint32_t* value);

std::size_t DataDirectoryAt(const PeImage& image, int index);
// The directory as parsed; one past the image's count is absent (0, 0), as the loader
// takes it.
DataDirectory DataDirectoryOf(const PeImage& image, int index);

// Where sections end: in memory as the loader maps them, and in the file.
std::uint64_t MappedEnd(const PeImage& image, const Section& section);
std::uint64_t RawEnd(const PeImage& image);  // of the headers and every section's raw data
// The file offset of the first section's raw data (the file's size when there is none).
std::uint64_t FirstRawOffset(const PeImage& image, std::uint64_t fileSize);
// The section whose raw data holds `size` bytes at `rva`, or null.
const Section* SectionOfRva(const PeImage& image, std::uint32_t rva, std::uint32_t size);
