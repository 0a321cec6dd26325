// The launcher's item store: a resource section holding the carried files as raw items
// (type = upper-case key, name "SELFINST", language 1033, code page 0) in one fixed
// layout. One plan holds the offset of every record; the writer emits what the plan
// says, and the verifier compares an image with the plan of what it should hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "manifest.h"
#include "pe_records.h"

constexpr std::uint32_t kItemLanguage = 1033;
constexpr const char* kStoredItemName = "SELFINST";
// Initialized data, readable: nothing else.
constexpr std::uint32_t kStoreCharacteristics = 0x40000040u;
constexpr const char* kStoreSectionName = ".rsrc";
// What a 32-bit Windows image can carry, leaving room for the launcher's own sections.
constexpr std::uint64_t kLargestPayload = 0x7F000000u;

// Offsets from the section's start. Rows are manifest rows; slots are the root's sorted
// order, which the type directories, name directories and data entries follow too.
struct StorePlan {
  std::vector<int> storeOrder;        // the row in each slot
  std::vector<std::uint32_t> sizes;   // per row
  std::uint32_t typeDirectories = 0;  // one per slot
  std::uint32_t nameDirectories = 0;  // one per slot
  std::uint32_t dataEntries = 0;      // one per slot
  std::uint32_t strings = 0;
  std::vector<std::uint32_t> keyString;  // per row
  std::uint32_t nameString = 0;          // the one shared "SELFINST"
  std::uint32_t directoryEnd = 0;
  std::vector<std::uint32_t> block;  // per row
  std::uint32_t end = 0;
};

std::uint32_t RootEntryAt(std::uint32_t slot);
std::uint32_t TypeDirectoryAt(const StorePlan& plan, std::uint32_t slot);
std::uint32_t NameDirectoryAt(const StorePlan& plan, std::uint32_t slot);
std::uint32_t DataEntryAt(const StorePlan& plan, std::uint32_t slot);

// `sizes` in manifest order, one per manifest row, their sum within kLargestPayload.
StorePlan PlanStore(const std::vector<std::uint32_t>& sizes);

struct ItemBytes {
  const std::uint8_t* data;
  std::uint32_t size;
};

// The section's bytes for `items` (manifest order, sized as planned) placed at
// `sectionRva`. False if a step did not end where the plan said.
bool WriteStore(const StorePlan& plan, const std::vector<ItemBytes>& items,
                std::uint32_t sectionRva, Bytes* out);

// Every record of the plan in order, each a run of bytes from 0 to the plan's end.
struct PlannedRecord {
  std::string what;
  std::uint32_t at;
  std::uint32_t size;
  const RecordKind* kind;  // null for strings, padding and item blocks
};
std::vector<PlannedRecord> PlannedRecords(const StorePlan& plan);
