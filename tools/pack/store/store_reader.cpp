#include "store/store_reader.h"

#include <algorithm>

#include "io/shown.h"

namespace {

using resourceEntry::kDataIsDirectory;
using resourceEntry::kNameIsString;

// Bounded reads relative to the store's first byte; every problem names the image.
struct StoreReader {
  const ImageFile& file;
  const StoreView& store;
  Report* report;

  bool Read(std::uint32_t record, Field field, std::uint32_t* value) const {
    return record <= store.sectionSize &&
           store.sectionSize - record >= field.offset + field.width &&
           ReadField(file, store.sectionOffset + record, field, value);
  }
  bool Fail(const std::string& what) const { return Refuse(report, file.path, what); }
  // A string of at most LongestKey() units.
  bool String(const std::string& what, std::uint32_t at, std::string* text) const {
    std::uint32_t length = 0;
    if (!Read(at, resourceString::kLength, &length)) {
      return Fail(what + " lies outside the store");
    }
    if (length > LongestKey()) {
      return Fail(what + " is " + std::to_string(length) +
                  " characters long, longer than any key (" + std::to_string(LongestKey()) + ")");
    }
    text->clear();
    for (std::uint32_t i = 0; i < length; ++i) {
      std::uint32_t unit = 0;
      if (!Read(at + resourceString::kUnitsAt + 2 * i, resourceString::kUnit, &unit)) {
        return Fail(what + " lies outside the store");
      }
      *text += Printable(unit);
    }
    return true;
  }
  // The single entry of a directory: its name field and where it leads.
  bool OnlyEntry(const std::string& what, std::uint32_t at, std::uint32_t* name,
                 std::uint32_t* target) const {
    std::uint32_t named = 0;
    std::uint32_t ids = 0;
    if (!Read(at, resourceDirectory::kNumberOfNamedEntries, &named) ||
        !Read(at, resourceDirectory::kNumberOfIdEntries, &ids) ||
        !Read(at + resourceDirectory::kRecordSize, resourceEntry::kName, name) ||
        !Read(at + resourceDirectory::kRecordSize, resourceEntry::kOffsetToData, target)) {
      return Fail(what + " lies outside the store");
    }
    if (named + ids != 1) {
      return Fail(what + " holds " + std::to_string(named + ids) + " entries, not one");
    }
    return true;
  }
};

// The type directory, name directory and data entry below one type entry.
[[nodiscard]] bool ReadItemTree(const StoreReader& reader, std::uint32_t typeDirectory,
                                StoredItem* item) {
  std::uint32_t nameField = 0;
  std::uint32_t nameTarget = 0;
  if (!reader.OnlyEntry("the type directory of " + item->key, typeDirectory, &nameField,
                        &nameTarget)) {
    return false;
  }
  if ((nameField & kNameIsString) == 0) {
    item->name = "#" + std::to_string(nameField);
  } else if (!reader.String("the name of " + item->key, nameField & ~kNameIsString, &item->name)) {
    return false;
  }
  if ((nameTarget & kDataIsDirectory) == 0) {
    return reader.Fail("the name directory of " + item->key + " is not a directory");
  }
  std::uint32_t languageTarget = 0;
  if (!reader.OnlyEntry("the name directory of " + item->key, nameTarget & ~kDataIsDirectory,
                        &item->language, &languageTarget)) {
    return false;
  }
  if ((item->language & kNameIsString) != 0 || (languageTarget & kDataIsDirectory) != 0) {
    return reader.Fail("the language entry of " + item->key + " is not a numbered data entry");
  }
  if (!reader.Read(languageTarget, resourceDataEntry::kOffsetToData, &item->dataRva) ||
      !reader.Read(languageTarget, resourceDataEntry::kSize, &item->size)) {
    return reader.Fail("the data entry of " + item->key + " lies outside the store");
  }
  return true;
}

[[nodiscard]] bool PlaceItem(const StoreReader& reader, StoredItem* item) {
  const StoreView& store = reader.store;
  const std::uint64_t start = std::uint64_t{item->dataRva} - store.sectionRva;
  if (item->dataRva < store.sectionRva || start + item->size > store.sectionSize) {
    return reader.Fail("the " + std::to_string(item->size) + " bytes of " + item->key +
                       " lie outside the store's section");
  }
  item->fileOffset = store.sectionOffset + start;
  return true;
}

[[nodiscard]] bool ReadTypeEntry(const StoreReader& reader, std::uint32_t index, StoredItem* item) {
  const std::string what = "type entry " + std::to_string(index);
  const std::uint32_t entry = resourceDirectory::kRecordSize + index * resourceEntry::kRecordSize;
  std::uint32_t keyField = 0;
  std::uint32_t target = 0;
  if (!reader.Read(entry, resourceEntry::kName, &keyField) ||
      !reader.Read(entry, resourceEntry::kOffsetToData, &target)) {
    return reader.Fail(what + " lies outside the store");
  }
  if ((keyField & kNameIsString) == 0 || (target & kDataIsDirectory) == 0) {
    return reader.Fail(what + " is not a key leading to a directory");
  }
  if (!reader.String("the key of " + what, keyField & ~kNameIsString, &item->key)) {
    return false;
  }
  // The loader's lookup ignores case, so keys that differ only in case are one key.
  const auto same = [item](const StoredItem& other) {
    return UpperCase(other.key) == UpperCase(item->key);
  };
  if (std::any_of(reader.store.items.begin(), reader.store.items.end(), same)) {
    return reader.Fail("the key " + item->key + " is stored twice");
  }
  return ReadItemTree(reader, target & ~kDataIsDirectory, item) && PlaceItem(reader, item);
}

}  // namespace

[[nodiscard]] bool ReadStore(const ImageFile& file, const PeImage& image, StoreView* store,
                             Report* report) {
  *store = StoreView{};
  const DataDirectory directory = DataDirectoryOf(image, dataDirectory::kResource);
  if (directory.rva == 0) {
    return Refuse(report, file.path, "the image has no resource section");
  }
  const Section* section = SectionOfRva(image, directory.rva, 0);
  if (section == nullptr) {
    return Refuse(report, file.path, "the resource directory lies outside every section");
  }
  store->section = static_cast<std::size_t>(section - image.sections.data());
  store->sectionRva = directory.rva;
  store->directorySize = directory.size;
  store->sectionOffset =
      std::uint64_t{section->pointerToRawData} + (directory.rva - section->virtualAddress);
  store->sectionSize = section->sizeOfRawData - (directory.rva - section->virtualAddress);
  const StoreReader reader{file, *store, report};
  std::uint32_t named = 0;
  std::uint32_t ids = 0;
  if (!reader.Read(0, resourceDirectory::kNumberOfNamedEntries, &named) ||
      !reader.Read(0, resourceDirectory::kNumberOfIdEntries, &ids)) {
    return reader.Fail("the root directory lies outside the store");
  }
  if (named + ids > Manifest().size()) {
    return reader.Fail("the root holds " + std::to_string(named + ids) +
                       " entries, more than the " + std::to_string(Manifest().size()) +
                       " keys of the manifest");
  }
  for (std::uint32_t i = 0; i < named + ids; ++i) {
    StoredItem item;
    if (!ReadTypeEntry(reader, i, &item)) {
      return false;
    }
    store->items.push_back(item);
  }
  return true;
}
