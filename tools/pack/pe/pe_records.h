// The on-disk records of a PE image and of its resource directory, each described once
// by its named fields. Every read is checked against the buffer's bounds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/bytes.h"

// One field of a record: where it sits from the record's start, and its width (2 or 4).
struct Field {
  const char* name;
  std::uint32_t offset;
  std::uint32_t width;
};

[[nodiscard]] bool Get(const Bytes& bytes, std::size_t record, Field field, std::uint32_t* value);
void Put(Bytes* bytes, std::size_t record, Field field, std::uint32_t value);

constexpr std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

namespace dos {
constexpr Field kMagic{"e_magic", 0, 2};
constexpr Field kNewHeader{"e_lfanew", 0x3C, 4};
constexpr std::uint32_t kMagicValue = 0x5A4D;  // "MZ"
}  // namespace dos

namespace coff {  // follows the 4-byte "PE\0\0" signature
constexpr std::uint32_t kSignatureValue = 0x00004550;
constexpr std::uint32_t kSignatureSize = 4;
constexpr Field kMachine{"Machine", 0, 2};
constexpr Field kNumberOfSections{"NumberOfSections", 2, 2};
constexpr Field kSizeOfOptionalHeader{"SizeOfOptionalHeader", 16, 2};
constexpr Field kCharacteristics{"Characteristics", 18, 2};
constexpr std::uint32_t kRecordSize = 20;
// A PE32 without it gets 2 GB of address space, too little for a launcher near the ceiling.
constexpr std::uint32_t kLargeAddressAware = 0x0020;
}  // namespace coff

// The optional header's fields sit at different offsets in PE32 and PE32+.
namespace optional {
struct FormatField {
  const char* name;
  std::uint32_t pe32;
  std::uint32_t pe32Plus;
  std::uint32_t width;
};
constexpr Field Of(FormatField field, bool is64) {
  return {field.name, is64 ? field.pe32Plus : field.pe32, field.width};
}
constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;
constexpr Field kMagic{"Magic", 0, 2};
constexpr Field kAddressOfEntryPoint{"AddressOfEntryPoint", 16, 4};
constexpr FormatField kSizeOfInitializedData{"SizeOfInitializedData", 8, 8, 4};
// In a PE32+ the low half of eight bytes, the high half following it.
constexpr FormatField kImageBase{"ImageBase", 28, 24, 4};
constexpr FormatField kSectionAlignment{"SectionAlignment", 32, 32, 4};
constexpr FormatField kFileAlignment{"FileAlignment", 36, 36, 4};
constexpr FormatField kSizeOfImage{"SizeOfImage", 56, 56, 4};
constexpr FormatField kSizeOfHeaders{"SizeOfHeaders", 60, 60, 4};
constexpr FormatField kCheckSum{"CheckSum", 64, 64, 4};
constexpr FormatField kSubsystem{"Subsystem", 68, 68, 2};
constexpr FormatField kDllCharacteristics{"DllCharacteristics", 70, 70, 2};
constexpr FormatField kNumberOfRvaAndSizes{"NumberOfRvaAndSizes", 92, 108, 4};
constexpr FormatField kDataDirectories{"DataDirectory", 96, 112, 4};
}  // namespace optional

namespace dataDirectory {
constexpr Field kVirtualAddress{"VirtualAddress", 0, 4};
constexpr Field kSize{"Size", 4, 4};
constexpr std::uint32_t kRecordSize = 8;
constexpr int kImport = 1;
constexpr int kResource = 2;
constexpr int kSecurity = 4;  // its "address" is a file offset
constexpr int kBaseRelocation = 5;
constexpr std::uint32_t kMaxCount = 16;
constexpr const char* kNames[kMaxCount] = {"export",
                                           "import",
                                           "resource",
                                           "exception",
                                           "certificate",
                                           "base-relocation",
                                           "debug",
                                           "architecture",
                                           "global pointer",
                                           "TLS",
                                           "load configuration",
                                           "bound import",
                                           "import address",
                                           "delay import",
                                           "runtime descriptor",
                                           "reserved"};
}  // namespace dataDirectory

namespace sectionHeader {
constexpr std::uint32_t kNameSize = 8;  // the name, NUL-padded, at offset 0
constexpr Field kVirtualSize{"VirtualSize", 8, 4};
constexpr Field kVirtualAddress{"VirtualAddress", 12, 4};
constexpr Field kSizeOfRawData{"SizeOfRawData", 16, 4};
constexpr Field kPointerToRawData{"PointerToRawData", 20, 4};
constexpr Field kCharacteristics{"Characteristics", 36, 4};
constexpr std::uint32_t kRecordSize = 40;
constexpr std::uint32_t kExecutable = 0x20000000u;
constexpr std::uint32_t kWritable = 0x80000000u;
}  // namespace sectionHeader

namespace resourceDirectory {
constexpr Field kCharacteristics{"Characteristics", 0, 4};
constexpr Field kTimeDateStamp{"TimeDateStamp", 4, 4};
constexpr Field kMajorVersion{"MajorVersion", 8, 2};
constexpr Field kMinorVersion{"MinorVersion", 10, 2};
constexpr Field kNumberOfNamedEntries{"NumberOfNamedEntries", 12, 2};
constexpr Field kNumberOfIdEntries{"NumberOfIdEntries", 14, 2};
constexpr std::uint32_t kRecordSize = 16;
}  // namespace resourceDirectory

namespace resourceEntry {  // follows its directory, one per entry
constexpr Field kName{"Name", 0, 4};
constexpr Field kOffsetToData{"OffsetToData", 4, 4};
constexpr std::uint32_t kRecordSize = 8;
constexpr std::uint32_t kNameIsString = 0x80000000u;
constexpr std::uint32_t kDataIsDirectory = 0x80000000u;
}  // namespace resourceEntry

namespace resourceDataEntry {
constexpr Field kOffsetToData{"OffsetToData", 0, 4};  // an address in the image, not the store
constexpr Field kSize{"Size", 4, 4};
constexpr Field kCodePage{"CodePage", 8, 4};
constexpr Field kReserved{"Reserved", 12, 4};
constexpr std::uint32_t kRecordSize = 16;
}  // namespace resourceDataEntry

namespace resourceString {  // a length in UTF-16 units, then the units
constexpr Field kLength{"Length", 0, 2};
constexpr std::uint32_t kUnitsAt = 2;
constexpr Field kUnit{"unit", 0, 2};  // from kUnitsAt + 2 * index
constexpr std::uint32_t Size(std::uint32_t length) { return kUnitsAt + 2 * length; }
}  // namespace resourceString

namespace certificate {  // WIN_CERTIFICATE, at the start of the certificate table
constexpr Field kLength{"dwLength", 0, 4};
constexpr Field kRevision{"wRevision", 4, 2};
constexpr Field kType{"wCertificateType", 6, 2};
constexpr std::uint32_t kHeaderSize = 8;
constexpr std::uint32_t kRevision2 = 0x0200;
constexpr std::uint32_t kPkcsSignedData = 0x0002;
}  // namespace certificate
