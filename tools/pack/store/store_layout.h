// The launcher's item store: a resource section holding the carried files as raw items
// (type = upper-case key, name and language as store_format.h gives them, code page 0) in one fixed
// layout. StoreRecords is the one place that knows the layout's order and alignments: the
// writer emits its records, the reader takes its items from an image, and verify compares
// the image's bytes with them record by record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/bytes.h"
#include "payload/manifest.h"
#include "pe/pe_records.h"
#include "store_format.h"

// Initialized data, readable: nothing else.
constexpr std::uint32_t kStoreCharacteristics = 0x40000040u;
constexpr const char* kStoreSectionName = ".rsrc";

enum class RecordKind { kDirectory, kEntry, kDataEntry, kString, kPadding, kItem };

// One record of the store, at its offset from the section's start.
struct StoreRecord {
  std::string what;  // as problems name it: "the type entry of DATA_1"
  std::uint32_t at = 0;
  std::uint32_t size = 0;
  RecordKind kind = RecordKind::kPadding;
  std::vector<std::uint32_t> values;  // directories and entries: one per field of FieldsOf
  std::string text;                   // strings: the characters
  std::size_t row = 0;                // items: the manifest row
};

// The fields of a directory, an entry or a data entry, in the order of `values`.
const std::vector<Field>& FieldsOf(RecordKind kind);

// Every record of the store for items of `sizes` (one per row of `manifest`, in its
// order) in a section placed at `sectionRva`, in file order from offset 0 to the store's end.
std::vector<StoreRecord> StoreRecords(const std::vector<std::uint32_t>& sizes,
                                      const std::vector<ManifestFile>& manifest,
                                      std::uint32_t sectionRva);
std::uint32_t StoreSize(const std::vector<StoreRecord>& records);
// The bytes of the records before the first item (the directory and the padding after
// it), and of any record but an item at its place in `out`.
Bytes RenderDirectory(const std::vector<StoreRecord>& records);
void RenderRecord(const StoreRecord& record, std::uint8_t* out);
