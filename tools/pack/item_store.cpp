#include "item_store.h"

#include <algorithm>
#include <cctype>
#include <limits>

const std::vector<ManifestFile>& Manifest() {
  static const std::vector<ManifestFile> manifest = {
#define PAYLOAD_FILE(key, name) {#key, name},
#include "payload_files.def"
#undef PAYLOAD_FILE
  };
  return manifest;
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

namespace {

constexpr std::uint32_t kDirectoryBit = 0x80000000u;  // entry points to a directory
constexpr std::uint32_t kNameBit = 0x80000000u;       // entry is named by a string
constexpr std::uint32_t kOneItemDirectorySize = kDirectoryHeaderSize + kDirectoryEntrySize;
constexpr std::uint32_t kFirstBlockAlignment = 16;
constexpr std::uint32_t kBlockAlignment = 4;
constexpr std::uint32_t kStoreCharacteristics = 0x40000040u;  // initialized data, readable
constexpr std::uint32_t kLargestImage = 0x80000000u;
constexpr std::uint32_t kPageSize = 0x1000;

std::uint32_t StringSize(const std::string& text) {
  return 2 + 2 * static_cast<std::uint32_t>(text.size());
}

void WriteDirectoryHeader(Bytes* out, std::uint32_t at, std::uint16_t named, std::uint16_t ids) {
  WriteU16(out, at + 12, named);
  WriteU16(out, at + 14, ids);
}

void WriteString(Bytes* out, std::uint32_t at, const std::string& text) {
  WriteU16(out, at, static_cast<std::uint16_t>(text.size()));
  for (std::size_t i = 0; i < text.size(); ++i) {
    WriteU16(out, at + 2 + 2 * i, static_cast<unsigned char>(text[i]));
  }
}

}  // namespace

StoreLayout PlanStore(const std::vector<std::uint32_t>& sizes) {
  const auto count = static_cast<std::uint32_t>(sizes.size());
  StoreLayout plan;
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.storeOrder.push_back(static_cast<int>(row));
  }
  std::sort(plan.storeOrder.begin(), plan.storeOrder.end(), [](int a, int b) {
    return UpperCase(Manifest()[a].itemKey) < UpperCase(Manifest()[b].itemKey);
  });
  plan.typeDirectories = kDirectoryHeaderSize + count * kDirectoryEntrySize;
  plan.nameDirectories = plan.typeDirectories + count * kOneItemDirectorySize;
  plan.dataEntries = plan.nameDirectories + count * kOneItemDirectorySize;
  plan.strings = plan.dataEntries + count * kDataEntrySize;

  // The keys in manifest order, the shared name second.
  std::uint32_t at = plan.strings;
  plan.keyString.resize(count);
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.keyString[row] = at;
    at += StringSize(Manifest()[row].itemKey);
    if (row == 0) {
      plan.nameString = at;
      at += StringSize(kStoredItemName);
    }
  }
  plan.directoryEnd = at;

  at = AlignUp(at, kFirstBlockAlignment);
  plan.block.resize(count);
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.block[row] = at;
    at = AlignUp(at + sizes[row], kBlockAlignment);
  }
  plan.end = at;
  return plan;
}

Bytes WriteStore(const std::vector<Bytes>& items, std::uint32_t sectionRva) {
  std::vector<std::uint32_t> sizes;
  sizes.reserve(items.size());
  for (const Bytes& item : items) {
    sizes.push_back(static_cast<std::uint32_t>(item.size()));
  }
  const StoreLayout plan = PlanStore(sizes);
  const auto count = static_cast<std::uint16_t>(items.size());
  Bytes out(plan.end, 0);

  WriteDirectoryHeader(&out, 0, count, 0);
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto row = static_cast<std::size_t>(plan.storeOrder[i]);
    const std::uint32_t typeDirectory = plan.typeDirectories + i * kOneItemDirectorySize;
    const std::uint32_t nameDirectory = plan.nameDirectories + i * kOneItemDirectorySize;
    const std::uint32_t dataEntry = plan.dataEntries + i * kDataEntrySize;

    const std::uint32_t rootEntry = kDirectoryHeaderSize + i * kDirectoryEntrySize;
    WriteU32(&out, rootEntry, kNameBit | plan.keyString[row]);
    WriteU32(&out, rootEntry + 4, kDirectoryBit | typeDirectory);

    WriteDirectoryHeader(&out, typeDirectory, 1, 0);
    WriteU32(&out, typeDirectory + kDirectoryHeaderSize, kNameBit | plan.nameString);
    WriteU32(&out, typeDirectory + kDirectoryHeaderSize + 4, kDirectoryBit | nameDirectory);

    WriteDirectoryHeader(&out, nameDirectory, 0, 1);
    WriteU32(&out, nameDirectory + kDirectoryHeaderSize, kItemLanguage);
    WriteU32(&out, nameDirectory + kDirectoryHeaderSize + 4, dataEntry);

    WriteU32(&out, dataEntry, sectionRva + plan.block[row]);
    WriteU32(&out, dataEntry + 4, sizes[row]);
  }
  for (std::size_t row = 0; row < items.size(); ++row) {
    WriteString(&out, plan.keyString[row], UpperCase(Manifest()[row].itemKey));
    std::copy(items[row].begin(), items[row].end(), out.begin() + plan.block[row]);
  }
  WriteString(&out, plan.nameString, kStoredItemName);
  return out;
}

namespace {

// Bounds-checked reads relative to the store's start.
struct StoreReader {
  const Bytes& bytes;
  std::size_t base;
  std::uint32_t size;

  bool U16(std::uint32_t at, std::uint16_t* value) const {
    return at <= size && size - at >= 2 && ReadU16(bytes, base + at, value);
  }
  bool U32(std::uint32_t at, std::uint32_t* value) const {
    return at <= size && size - at >= 4 && ReadU32(bytes, base + at, value);
  }
  bool String(std::uint32_t at, std::string* text) const {
    std::uint16_t length = 0;
    if (!U16(at, &length)) {
      return false;
    }
    text->clear();
    for (std::uint32_t i = 0; i < length; ++i) {
      std::uint16_t unit = 0;
      if (!U16(at + 2 + 2 * i, &unit)) {
        return false;
      }
      text->push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return true;
  }
  bool Directory(std::uint32_t at, std::uint16_t* named, std::uint16_t* ids) const {
    return U16(at + 12, named) && U16(at + 14, ids);
  }
};

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// Follows one directory level: the single entry of the directory at `at`.
bool ReadSingleEntry(const StoreReader& reader, std::uint32_t at, const std::string& what,
                     bool wantNamed, std::uint32_t* name, std::uint32_t* target,
                     std::vector<std::string>* problems, std::string* error) {
  std::uint16_t named = 0;
  std::uint16_t ids = 0;
  if (!reader.Directory(at, &named, &ids) || !reader.U32(at + kDirectoryHeaderSize, name) ||
      !reader.U32(at + kDirectoryHeaderSize + 4, target)) {
    return Fail(error, what + " lies outside the store");
  }
  if (named != (wantNamed ? 1 : 0) || ids != (wantNamed ? 0 : 1)) {
    problems->push_back(what + " has " + std::to_string(named) + " named and " +
                        std::to_string(ids) + " numbered entries, not one " +
                        (wantNamed ? "named" : "numbered") + " entry");
  }
  if (((*name & kNameBit) != 0) != wantNamed) {
    problems->push_back(what + "'s entry is " + (wantNamed ? "numbered" : "named"));
  }
  return true;
}

}  // namespace

bool ReadStore(const Bytes& bytes, const PeImage& image, StoreView* store, std::string* error) {
  *store = StoreView{};
  const DataDirectory directory = ReadDataDirectory(bytes, image, kResourceDirectory);
  if (directory.rva == 0) {
    return Fail(error, "the image has no resource section");
  }
  const Section* section = nullptr;
  for (const Section& candidate : image.sections) {
    if (directory.rva >= candidate.virtualAddress &&
        directory.rva - candidate.virtualAddress < candidate.sizeOfRawData) {
      section = &candidate;
    }
  }
  if (section == nullptr) {
    return Fail(error, "the resource directory lies outside every section");
  }
  store->sectionRva = directory.rva;
  store->directorySize = directory.size;
  store->sectionOffset = section->pointerToRawData + (directory.rva - section->virtualAddress);
  store->sectionSize = section->sizeOfRawData - (directory.rva - section->virtualAddress);
  const StoreReader reader{bytes, store->sectionOffset, store->sectionSize};

  std::uint16_t named = 0;
  std::uint16_t ids = 0;
  if (!reader.Directory(0, &named, &ids)) {
    return Fail(error, "the root directory lies outside the store");
  }
  if (ids != 0) {
    store->shapeProblems.push_back("the root has " + std::to_string(ids) + " numbered entries");
  }
  for (std::uint32_t i = 0; i < std::uint32_t{named} + ids; ++i) {
    StoredItem item;
    const std::uint32_t entry = kDirectoryHeaderSize + i * kDirectoryEntrySize;
    std::uint32_t keyField = 0;
    std::uint32_t typeField = 0;
    if (!reader.U32(entry, &keyField) || !reader.U32(entry + 4, &typeField)) {
      return Fail(error, "root entry " + std::to_string(i) + " lies outside the store");
    }
    item.keyString = keyField & ~kNameBit;
    if ((keyField & kNameBit) == 0) {
      item.key = "#" + std::to_string(keyField);
      store->shapeProblems.push_back("root entry " + std::to_string(i) + " is numbered");
    } else if (!reader.String(item.keyString, &item.key)) {
      return Fail(error, "the key of root entry " + std::to_string(i) + " lies outside the store");
    }
    if ((typeField & kDirectoryBit) == 0) {
      return Fail(error, "root entry " + item.key + " does not lead to a directory");
    }
    item.typeDirectory = typeField & ~kDirectoryBit;
    std::uint32_t nameField = 0;
    std::uint32_t nameTarget = 0;
    if (!ReadSingleEntry(reader, item.typeDirectory, "the name directory of " + item.key, true,
                         &nameField, &nameTarget, &store->shapeProblems, error)) {
      return false;
    }
    item.nameString = nameField & ~kNameBit;
    if ((nameField & kNameBit) != 0 && !reader.String(item.nameString, &item.name)) {
      return Fail(error, "the name of " + item.key + " lies outside the store");
    }
    if ((nameTarget & kDirectoryBit) == 0) {
      return Fail(error, "the name entry of " + item.key + " does not lead to a directory");
    }
    item.nameDirectory = nameTarget & ~kDirectoryBit;
    std::uint32_t languageTarget = 0;
    if (!ReadSingleEntry(reader, item.nameDirectory, "the language directory of " + item.key, false,
                         &item.language, &languageTarget, &store->shapeProblems, error)) {
      return false;
    }
    if ((languageTarget & kDirectoryBit) != 0) {
      return Fail(error, "the language entry of " + item.key + " leads to a directory");
    }
    item.dataEntry = languageTarget;
    if (!reader.U32(item.dataEntry, &item.dataRva) || !reader.U32(item.dataEntry + 4, &item.size) ||
        !reader.U32(item.dataEntry + 8, &item.codePage)) {
      return Fail(error, "the data entry of " + item.key + " lies outside the store");
    }
    if (!RvaToOffset(image, item.dataRva, item.size, &item.fileOffset)) {
      return Fail(error, "the bytes of " + item.key + " lie outside the image");
    }
    store->items.push_back(item);
  }
  return true;
}

std::vector<std::string> VerifyStore(const Bytes& bytes, const StoreView& store,
                                     const std::vector<Bytes>* payload) {
  std::vector<std::string> problems = store.shapeProblems;
  const std::vector<ManifestFile>& manifest = Manifest();

  // Which stored item holds each manifest row.
  std::vector<const StoredItem*> byRow(manifest.size(), nullptr);
  for (const StoredItem& item : store.items) {
    if (item.key != UpperCase(item.key)) {
      problems.push_back("key " + item.key + " is not stored in upper case");
    }
    bool known = false;
    for (std::size_t row = 0; row < manifest.size(); ++row) {
      if (UpperCase(item.key) == UpperCase(manifest[row].itemKey)) {
        if (byRow[row] != nullptr) {
          problems.push_back("key " + item.key + " is stored twice");
        }
        byRow[row] = &item;
        known = true;
      }
    }
    if (!known) {
      problems.push_back("key " + item.key + " is not in the manifest");
    }
  }
  std::vector<std::uint32_t> sizes;
  for (std::size_t row = 0; row < manifest.size(); ++row) {
    if (byRow[row] == nullptr) {
      problems.push_back(std::string("key ") + UpperCase(manifest[row].itemKey) + " is missing");
    } else {
      sizes.push_back(byRow[row]->size);
    }
  }
  for (std::size_t i = 1; i < store.items.size(); ++i) {
    if (!(store.items[i - 1].key < store.items[i].key)) {
      problems.push_back("root entries out of order: " + store.items[i - 1].key + " before " +
                         store.items[i].key);
    }
  }
  if (sizes.size() != manifest.size() || store.items.size() != manifest.size()) {
    return problems;  // the layout can only be planned for the full manifest
  }

  const StoreLayout plan = PlanStore(sizes);
  auto expectAt = [&problems](const std::string& what, std::uint32_t actual,
                              std::uint32_t expected) {
    if (actual != expected) {
      problems.push_back(what + " at offset " + std::to_string(actual) + ", expected " +
                         std::to_string(expected));
    }
  };
  for (std::size_t i = 0; i < store.items.size(); ++i) {
    const StoredItem& item = store.items[i];
    const auto row = static_cast<std::size_t>(plan.storeOrder[i]);
    const auto slot = static_cast<std::uint32_t>(i);
    const std::string& key = item.key;
    expectAt("type directory of " + key, item.typeDirectory,
             plan.typeDirectories + slot * kOneItemDirectorySize);
    expectAt("name directory of " + key, item.nameDirectory,
             plan.nameDirectories + slot * kOneItemDirectorySize);
    expectAt("data entry of " + key, item.dataEntry, plan.dataEntries + slot * kDataEntrySize);
    expectAt("key string " + key, item.keyString, plan.keyString[row]);
    if (item.nameString != plan.nameString) {
      problems.push_back("the name of " + key + " is not the one shared SELFINST string (offset " +
                         std::to_string(item.nameString) + ", expected " +
                         std::to_string(plan.nameString) + ")");
    }
    if (item.name != kStoredItemName) {
      problems.push_back("the name of " + key + " is \"" + item.name + "\", not SELFINST");
    }
    if (item.language != kItemLanguage) {
      problems.push_back("the language of " + key + " is " + std::to_string(item.language) +
                         ", not 1033");
    }
    if (item.codePage != 0) {
      problems.push_back("the code page of " + key + " is " + std::to_string(item.codePage) +
                         ", not 0");
    }
    const std::uint32_t block = item.dataRva - store.sectionRva;
    if (block % kBlockAlignment != 0) {
      problems.push_back("the block of " + key + " at offset " + std::to_string(block) +
                         " is not on a 4-byte boundary");
    } else {
      expectAt("block of " + key, block, plan.block[row]);
    }
    if (payload != nullptr && row < payload->size()) {
      const Bytes& file = (*payload)[row];
      if (file.size() != item.size ||
          !std::equal(file.begin(), file.end(),
                      bytes.begin() + static_cast<long>(item.fileOffset))) {
        problems.push_back("item " + key + " differs from the payload file " +
                           manifest[row].fileName);
      }
    }
  }
  // Gaps between the directory and the blocks, and after each block, hold zeros only.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps;
  gaps.emplace_back(plan.directoryEnd, plan.block[0]);
  for (std::size_t row = 0; row < sizes.size(); ++row) {
    const std::uint32_t end = plan.block[row] + sizes[row];
    gaps.emplace_back(end, row + 1 < sizes.size() ? plan.block[row + 1] : plan.end);
  }
  for (const auto& [from, to] : gaps) {
    for (std::uint32_t at = from; at < to && at < store.sectionSize; ++at) {
      if (bytes[store.sectionOffset + at] != 0) {
        problems.push_back("non-zero byte in the gap at store offset " + std::to_string(at));
        break;
      }
    }
  }
  if (plan.end > store.sectionSize) {
    problems.push_back("the store is cut short");
  }
  return problems;
}

bool AttachStore(const Bytes& stub, const std::vector<Bytes>& items, Bytes* out,
                 std::string* error) {
  if (items.size() != Manifest().size()) {
    return Fail(error, "the store holds exactly the manifest's " +
                           std::to_string(Manifest().size()) + " items");
  }
  PeImage image;
  if (!ParsePeImage(stub, &image, error)) {
    return false;
  }
  if (image.numberOfRvaAndSizes <= kResourceDirectory) {
    return Fail(error, "the image has no resource data directory");
  }
  if (ReadDataDirectory(stub, image, kResourceDirectory).rva != 0 ||
      std::any_of(image.sections.begin(), image.sections.end(),
                  [](const Section& s) { return s.name == ".rsrc"; })) {
    return Fail(error, "the image already has a resource section");
  }
  if (ReadDataDirectory(stub, image, kSecurityDirectory).rva != 0) {
    return Fail(error, "the image is signed; attach the store before signing");
  }
  std::uint32_t fileEnd = image.sizeOfHeaders;
  std::uint32_t imageEnd = image.sizeOfHeaders;
  std::uint32_t firstRaw = std::numeric_limits<std::uint32_t>::max();
  for (const Section& section : image.sections) {
    fileEnd = std::max(fileEnd, section.pointerToRawData + section.sizeOfRawData);
    imageEnd = std::max(
        imageEnd, section.virtualAddress + std::max(section.virtualSize, section.sizeOfRawData));
    if (section.sizeOfRawData != 0) {
      firstRaw = std::min(firstRaw, section.pointerToRawData);
    }
  }
  if (stub.size() > fileEnd) {
    return Fail(error, "the image has data after its last section");
  }
  const std::size_t headerEnd =
      image.sectionTableOffset + (image.sections.size() + 1) * kSectionHeaderSize;
  if (headerEnd > image.sizeOfHeaders || headerEnd > firstRaw) {
    return Fail(error, "the image has no room in its header for another section header");
  }

  std::uint64_t total = 0;
  for (const Bytes& item : items) {
    total += item.size();
  }
  const std::uint32_t storeRva = AlignUp(imageEnd, image.sectionAlignment);
  if (total + imageEnd + 0x10000 >= kLargestImage) {
    return Fail(error, "the payload is too large for the image format");
  }
  const Bytes store = WriteStore(items, storeRva);
  const auto storeSize = static_cast<std::uint32_t>(store.size());
  // On a page boundary in the file too, so that a loader can map the store rather than
  // copy it (Wine copies a section whose file offset is not page-aligned).
  const std::uint32_t rawOffset = AlignUp(fileEnd, std::max(image.fileAlignment, kPageSize));
  const std::uint32_t rawSize = AlignUp(storeSize, image.fileAlignment);

  *out = stub;
  out->resize(rawOffset, 0);
  out->insert(out->end(), store.begin(), store.end());
  out->resize(std::size_t{rawOffset} + rawSize, 0);

  const std::size_t header = image.sectionTableOffset + image.sections.size() * kSectionHeaderSize;
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  std::copy(name, name + 8, out->begin() + static_cast<long>(header));
  WriteU32(out, header + 8, storeSize);
  WriteU32(out, header + 12, storeRva);
  WriteU32(out, header + 16, rawSize);
  WriteU32(out, header + 20, rawOffset);
  std::fill(out->begin() + static_cast<long>(header) + 24,
            out->begin() + static_cast<long>(header) + 36, 0);
  WriteU32(out, header + 36, kStoreCharacteristics);

  WriteU16(out, image.coffOffset + 2, static_cast<std::uint16_t>(image.sections.size() + 1));
  WriteU32(out, SizeOfImageOffset(image), AlignUp(storeRva + storeSize, image.sectionAlignment));
  std::uint32_t initializedData = 0;
  (void)ReadU32(*out, SizeOfInitializedDataOffset(image), &initializedData);
  WriteU32(out, SizeOfInitializedDataOffset(image), initializedData + rawSize);
  WriteU32(out, image.dataDirectoryOffset + std::size_t{kResourceDirectory} * 8, storeRva);
  WriteU32(out, image.dataDirectoryOffset + std::size_t{kResourceDirectory} * 8 + 4, storeSize);
  WriteU32(out, CheckSumOffset(image), 0);
  WriteU32(out, CheckSumOffset(image), ComputeCheckSum(*out, CheckSumOffset(image)));
  return true;
}
