// Reading and editing PE32 and PE32+ images held in memory. Every read is checked
// against the buffer's bounds; a malformed image gives an error, never a read out of
// range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

bool ReadU16(const Bytes& bytes, std::size_t offset, std::uint16_t* value);
bool ReadU32(const Bytes& bytes, std::size_t offset, std::uint32_t* value);
void WriteU16(Bytes* bytes, std::size_t offset, std::uint16_t value);
void WriteU32(Bytes* bytes, std::size_t offset, std::uint32_t value);

constexpr std::uint32_t AlignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

constexpr std::size_t kSectionHeaderSize = 40;
constexpr int kResourceDirectory = 2;
constexpr int kSecurityDirectory = 4;

struct Section {
  std::string name;
  std::uint32_t virtualSize;
  std::uint32_t virtualAddress;
  std::uint32_t sizeOfRawData;
  std::uint32_t pointerToRawData;
  std::uint32_t characteristics;
};

struct PeImage {
  bool is64 = false;
  std::uint16_t machine = 0;
  std::size_t coffOffset = 0;      // the COFF file header, after "PE\0\0"
  std::size_t optionalOffset = 0;  // the optional header
  std::size_t sectionTableOffset = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t fileAlignment = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t numberOfRvaAndSizes = 0;
  std::size_t dataDirectoryOffset = 0;
  std::vector<Section> sections;
};

// Parses the headers and the section table; false with a message on malformed input.
bool ParsePeImage(const Bytes& bytes, PeImage* image, std::string* error);

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};
DataDirectory ReadDataDirectory(const Bytes& bytes, const PeImage& image, int index);

// The file offset of `size` bytes at `rva`, when they lie within one section's raw data.
bool RvaToOffset(const PeImage& image, std::uint32_t rva, std::uint32_t size, std::size_t* offset);

std::size_t CheckSumOffset(const PeImage& image);
std::size_t SizeOfInitializedDataOffset(const PeImage& image);
std::size_t SizeOfImageOffset(const PeImage& image);
std::uint16_t DllCharacteristics(const Bytes& bytes, const PeImage& image);
std::uint16_t Subsystem(const Bytes& bytes, const PeImage& image);

// The image checksum as the loader computes it: 16-bit one's-complement sum of the file
// with the checksum field taken as zero, plus the file's length.
std::uint32_t ComputeCheckSum(const Bytes& bytes, std::size_t checkSumOffset);

// Names of the DLLs the image imports, in import-table order.
bool ReadImportedDlls(const Bytes& bytes, const PeImage& image, std::vector<std::string>* dlls,
                      std::string* error);
