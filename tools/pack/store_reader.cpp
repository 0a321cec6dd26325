#include "store_reader.h"

#include <algorithm>

namespace {

using resourceEntry::kDataIsDirectory;
using resourceEntry::kNameIsString;

// Bounded reads relative to the store's first byte.
struct StoreReader {
  const Bytes& bytes;
  std::size_t base;
  std::uint32_t size;

  bool Read(std::uint32_t record, Field field, std::uint32_t* value) const {
    return record <= size && size - record >= field.offset + field.width &&
           Get(bytes, base + record, field, value);
  }
  // A string of at most LongestKey() units.
  bool String(std::uint32_t at, std::string* text, std::string* error) const {
    std::uint32_t length = 0;
    if (!Read(at, resourceString::kLength, &length)) {
      return Refuse(error, "lies outside the store");
    }
    if (length > LongestKey()) {
      return Refuse(error, "is " + std::to_string(length) +
                               " characters long, longer than any key (" +
                               std::to_string(LongestKey()) + ")");
    }
    text->clear();
    for (std::uint32_t i = 0; i < length; ++i) {
      std::uint32_t unit = 0;
      if (!Read(at + resourceString::kUnitsAt + 2 * i, Field{"unit", 0, 2}, &unit)) {
        return Refuse(error, "lies outside the store");
      }
      *text += Printable(unit);
    }
    return true;
  }
  // The single entry of a directory: its name field and where it leads.
  bool OnlyEntry(std::uint32_t at, std::uint32_t* name, std::uint32_t* target,
                 std::string* error) const {
    std::uint32_t named = 0;
    std::uint32_t ids = 0;
    if (!Read(at, resourceDirectory::kNumberOfNamedEntries, &named) ||
        !Read(at, resourceDirectory::kNumberOfIdEntries, &ids) ||
        !Read(at + resourceDirectory::kRecordSize, resourceEntry::kName, name) ||
        !Read(at + resourceDirectory::kRecordSize, resourceEntry::kOffsetToData, target)) {
      return Refuse(error, "lies outside the store");
    }
    if (named + ids != 1) {
      return Refuse(error, "holds " + std::to_string(named + ids) + " entries, not one");
    }
    return true;
  }
};

// The type directory, name directory and data entry below one type entry.
bool ReadItemTree(const StoreReader& reader, std::uint32_t typeDirectory, StoredItem* item,
                  std::string* error) {
  std::uint32_t nameField = 0;
  std::uint32_t nameTarget = 0;
  std::string problem;
  if (!reader.OnlyEntry(typeDirectory, &nameField, &nameTarget, &problem)) {
    return Refuse(error, "the type directory of " + item->key + " " + problem);
  }
  if ((nameField & kNameIsString) == 0) {
    item->name = "#" + std::to_string(nameField);
  } else if (!reader.String(nameField & ~kNameIsString, &item->name, &problem)) {
    return Refuse(error, "the name of " + item->key + " " + problem);
  }
  std::uint32_t languageTarget = 0;
  if ((nameTarget & kDataIsDirectory) == 0 ||
      !reader.OnlyEntry(nameTarget & ~kDataIsDirectory, &item->language, &languageTarget,
                        &problem)) {
    return Refuse(error, "the name directory of " + item->key + " " +
                             (problem.empty() ? "is not a directory" : problem));
  }
  if ((item->language & kNameIsString) != 0 || (languageTarget & kDataIsDirectory) != 0) {
    return Refuse(error, "the language entry of " + item->key + " is not a numbered data entry");
  }
  if (!reader.Read(languageTarget, resourceDataEntry::kOffsetToData, &item->dataRva) ||
      !reader.Read(languageTarget, resourceDataEntry::kSize, &item->size) ||
      !reader.Read(languageTarget, resourceDataEntry::kCodePage, &item->codePage)) {
    return Refuse(error, "the data entry of " + item->key + " lies outside the store");
  }
  return true;
}

bool PlaceItem(const StoreView& store, StoredItem* item, std::string* error) {
  const std::uint64_t start = std::uint64_t{item->dataRva} - store.sectionRva;
  if (item->dataRva < store.sectionRva || start + item->size > store.sectionSize) {
    return Refuse(error, "the " + std::to_string(item->size) + " bytes of " + item->key +
                             " lie outside the store's section");
  }
  item->fileOffset = store.sectionOffset + static_cast<std::size_t>(start);
  return true;
}

bool ReadTypeEntry(const StoreReader& reader, const StoreView& store, std::uint32_t index,
                   StoredItem* item, std::string* error) {
  const std::string what = "type entry " + std::to_string(index);
  const std::uint32_t entry = RootEntryAt(index);
  std::uint32_t keyField = 0;
  std::uint32_t target = 0;
  std::string problem;
  if (!reader.Read(entry, resourceEntry::kName, &keyField) ||
      !reader.Read(entry, resourceEntry::kOffsetToData, &target)) {
    return Refuse(error, what + " lies outside the store");
  }
  if ((keyField & kNameIsString) == 0 || (target & kDataIsDirectory) == 0) {
    return Refuse(error, what + " is not a key leading to a directory");
  }
  if (!reader.String(keyField & ~kNameIsString, &item->key, &problem)) {
    return Refuse(error, "the key of " + what + " " + problem);
  }
  const auto same = [item](const StoredItem& other) {
    return UpperCase(other.key) == UpperCase(item->key);
  };
  if (std::any_of(store.items.begin(), store.items.end(), same)) {
    return Refuse(error, "the key " + item->key + " is stored twice");
  }
  return ReadItemTree(reader, target & ~kDataIsDirectory, item, error) &&
         PlaceItem(store, item, error);
}

bool FindStoreSection(const PeImage& image, const DataDirectory& directory, StoreView* store) {
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    const Section& section = image.sections[i];
    if (directory.rva >= section.virtualAddress &&
        directory.rva - section.virtualAddress < section.sizeOfRawData) {
      store->section = i;
      store->sectionRva = directory.rva;
      store->directorySize = directory.size;
      store->sectionOffset = section.pointerToRawData + (directory.rva - section.virtualAddress);
      store->sectionSize = section.sizeOfRawData - (directory.rva - section.virtualAddress);
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReadStore(const Bytes& bytes, const PeImage& image, StoreView* store, std::string* error) {
  *store = StoreView{};
  const DataDirectory directory = ReadDataDirectory(bytes, image, dataDirectory::kResource);
  if (directory.rva == 0) {
    return Refuse(error, "the image has no resource section");
  }
  if (!FindStoreSection(image, directory, store)) {
    return Refuse(error, "the resource directory lies outside every section");
  }
  const StoreReader reader{bytes, store->sectionOffset, store->sectionSize};
  std::uint32_t named = 0;
  std::uint32_t ids = 0;
  if (!reader.Read(0, resourceDirectory::kNumberOfNamedEntries, &named) ||
      !reader.Read(0, resourceDirectory::kNumberOfIdEntries, &ids)) {
    return Refuse(error, "the root directory lies outside the store");
  }
  if (named + ids > Manifest().size()) {
    return Refuse(error, "the root holds " + std::to_string(named + ids) +
                             " entries, more than the " + std::to_string(Manifest().size()) +
                             " keys of the manifest");
  }
  for (std::uint32_t i = 0; i < named + ids; ++i) {
    StoredItem item;
    if (!ReadTypeEntry(reader, *store, i, &item, error)) {
      return false;
    }
    store->items.push_back(item);
  }
  return true;
}
