// A PE32 or PE32+ image held in memory: its headers and section table, parsed within
// bounds, and the checks of the fields a Windows loader relies on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pe_records.h"

// A 32-bit Windows image spans at most 2 GiB.
constexpr std::uint64_t kLargestImage = 0x80000000u;

struct Section {
  std::string name;
  std::size_t headerOffset = 0;  // of its section header in the file
  std::uint32_t virtualSize = 0;
  std::uint32_t virtualAddress = 0;
  std::uint32_t sizeOfRawData = 0;
  std::uint32_t pointerToRawData = 0;
  std::uint32_t characteristics = 0;
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
  std::vector<Section> sections;
};

// Parses the headers and the section table; false with a message on malformed input.
bool ParsePeImage(const Bytes& bytes, PeImage* image, std::string* error);

// A field of the optional header, at its place for this image's format.
std::size_t OptionalFieldAt(const PeImage& image, optional::FormatField field);
std::uint32_t OptionalField(const Bytes& bytes, const PeImage& image, optional::FormatField field);

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};
std::size_t DataDirectoryAt(const PeImage& image, int index);
DataDirectory ReadDataDirectory(const Bytes& bytes, const PeImage& image, int index);

// The file offset of `size` bytes at `rva`, when they lie within one section's raw data.
bool RvaToOffset(const PeImage& image, std::uint32_t rva, std::uint32_t size, std::size_t* offset);

// The image checksum as the loader computes it: 16-bit one's-complement sum of the file
// with the checksum field taken as zero, plus the file's length.
std::uint32_t ComputeCheckSum(const Bytes& bytes, std::size_t checkSumOffset);

// Every way the headers, the section table, the checksum or the certificate table would
// mislead a loader or a signature check; empty when there is none.
std::vector<std::string> LoaderProblems(const Bytes& bytes, const PeImage& image);

// Whether the image carries a certificate table, and whether that table is well formed.
enum class Signature { kNone, kSigned, kMalformed };
Signature ReadSignature(const Bytes& bytes, const PeImage& image, std::string* problem);

// Names of the DLLs the image imports, in import-table order.
bool ReadImportedDlls(const Bytes& bytes, const PeImage& image, std::vector<std::string>* dlls,
                      std::string* error);
