// The launcher's item store: a resource section holding the eleven carried files as raw
// items (type = upper-case key, name "SELFINST", language 1033, code page 0) in one
// fixed layout. Planning, writing, reading back and checking it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"

struct ManifestFile {
  const char* itemKey;   // lower case, as the launcher asks for it
  const char* fileName;  // as written into the current folder
};
// The carried files in manifest order.
const std::vector<ManifestFile>& Manifest();
std::string UpperCase(std::string text);

constexpr std::uint32_t kItemLanguage = 1033;
constexpr const char* kStoredItemName = "SELFINST";
constexpr std::uint32_t kDirectoryHeaderSize = 16;
constexpr std::uint32_t kDirectoryEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;

// Where everything of the store goes, as offsets from the section's start. Rows are
// manifest rows; `storeOrder` lists them in the root's sorted order.
struct StoreLayout {
  std::vector<int> storeOrder;
  std::uint32_t typeDirectories = 0;  // one per item, in store order
  std::uint32_t nameDirectories = 0;  // one per item, in store order
  std::uint32_t dataEntries = 0;      // one per item, in store order
  std::uint32_t strings = 0;
  std::vector<std::uint32_t> keyString;  // per row
  std::uint32_t nameString = 0;          // the one shared "SELFINST"
  std::uint32_t directoryEnd = 0;
  std::vector<std::uint32_t> block;  // per row
  std::uint32_t end = 0;
};

// `sizes` in manifest order.
StoreLayout PlanStore(const std::vector<std::uint32_t>& sizes);

// The section's bytes for `items` (manifest order) placed at `sectionRva`.
Bytes WriteStore(const std::vector<Bytes>& items, std::uint32_t sectionRva);

// One item as found in an image, with where each of its parts sits (section offsets).
struct StoredItem {
  std::string key;
  std::string name;
  std::uint32_t language = 0;
  std::uint32_t codePage = 0;
  std::uint32_t size = 0;
  std::uint32_t dataRva = 0;
  std::size_t fileOffset = 0;  // of the item's first byte in the image file
  std::uint32_t typeDirectory = 0;
  std::uint32_t nameDirectory = 0;
  std::uint32_t dataEntry = 0;
  std::uint32_t keyString = 0;
  std::uint32_t nameString = 0;
};

struct StoreView {
  std::uint32_t sectionRva = 0;
  std::size_t sectionOffset = 0;  // file offset of the section's raw data
  std::uint32_t sectionSize = 0;  // raw bytes available
  std::uint32_t directorySize = 0;
  std::vector<StoredItem> items;           // root order
  std::vector<std::string> shapeProblems;  // entries that are not of the store's form
};

// Reads the resource directory of a parsed image. False, with a message, when the image
// has no store or the directory cannot be followed within bounds.
bool ReadStore(const Bytes& bytes, const PeImage& image, StoreView* store, std::string* error);

// Every way the store departs from its stated form; empty when it is exact. With
// `payload` (manifest order, may be empty), also each item that differs from its file.
std::vector<std::string> VerifyStore(const Bytes& bytes, const StoreView& store,
                                     const std::vector<Bytes>* payload);

// Adds the store as a new last section of a linked image that has none.
bool AttachStore(const Bytes& stub, const std::vector<Bytes>& items, Bytes* out,
                 std::string* error);
