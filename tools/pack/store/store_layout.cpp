#include "store/store_layout.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kOneEntryDirectorySize =
    resourceDirectory::kRecordSize + resourceEntry::kRecordSize;
constexpr std::uint32_t kFirstBlockAlignment = 16;
constexpr std::uint32_t kBlockAlignment = 4;

std::uint32_t Align(std::uint32_t value, std::uint32_t alignment) {
  return static_cast<std::uint32_t>(AlignUp(value, alignment));
}

// Appends records, each where the last one ended.
struct Layout {
  std::vector<StoreRecord> records;
  std::uint32_t at = 0;

  void Add(std::string what, std::uint32_t size, RecordKind kind,
           std::vector<std::uint32_t> values = {}, std::string text = "", std::size_t row = 0) {
    records.push_back({std::move(what), at, size, kind, std::move(values), std::move(text), row});
    at += size;
  }
  void Directory(const std::string& what, std::uint32_t named, std::uint32_t ids) {
    Add(what, resourceDirectory::kRecordSize, RecordKind::kDirectory, {0, 0, 0, 0, named, ids});
  }
  void Entry(const std::string& what, std::uint32_t name, std::uint32_t offsetToData) {
    Add(what, resourceEntry::kRecordSize, RecordKind::kEntry, {name, offsetToData});
  }
  void String(const std::string& what, const std::string& text) {
    Add(what, resourceString::Size(static_cast<std::uint32_t>(text.size())), RecordKind::kString,
        {}, text);
  }
  void PadTo(const std::string& what, std::uint32_t end) {
    Add(what, end - at, RecordKind::kPadding);
  }
};

}  // namespace

const std::vector<Field>& FieldsOf(RecordKind kind) {
  static const std::vector<Field> directory = {
      resourceDirectory::kCharacteristics,      resourceDirectory::kTimeDateStamp,
      resourceDirectory::kMajorVersion,         resourceDirectory::kMinorVersion,
      resourceDirectory::kNumberOfNamedEntries, resourceDirectory::kNumberOfIdEntries};
  static const std::vector<Field> entry = {resourceEntry::kName, resourceEntry::kOffsetToData};
  static const std::vector<Field> dataEntry = {
      resourceDataEntry::kOffsetToData, resourceDataEntry::kSize, resourceDataEntry::kCodePage,
      resourceDataEntry::kReserved};
  static const std::vector<Field> none;
  return kind == RecordKind::kDirectory   ? directory
         : kind == RecordKind::kEntry     ? entry
         : kind == RecordKind::kDataEntry ? dataEntry
                                          : none;
}

namespace {

// Where every record of the store goes, worked out before any is emitted.
struct StorePlan {
  std::vector<std::string> keys;     // upper case, in manifest order
  std::vector<std::size_t> slotRow;  // the row of each slot, the keys in binary order
  std::uint32_t typeDirectories = 0;
  std::uint32_t nameDirectories = 0;
  std::uint32_t dataEntries = 0;
  std::vector<std::uint32_t> keyString;  // per row
  std::uint32_t nameString = 0;
  std::vector<std::uint32_t> block;  // per row: the item's offset
  std::uint32_t end = 0;
};

StorePlan PlanStore(const std::vector<std::uint32_t>& sizes,
                    const std::vector<ManifestFile>& manifest) {
  StorePlan plan;
  const auto count = static_cast<std::uint32_t>(manifest.size());
  plan.keys.resize(count);
  std::transform(manifest.begin(), manifest.end(), plan.keys.begin(),
                 [](const ManifestFile& file) { return UpperCase(file.itemKey); });
  // The root's entries, and the type directories, name directories and data entries
  // below them, follow the keys' binary order.
  plan.slotRow.resize(count);
  for (std::size_t slot = 0; slot < count; ++slot) {
    plan.slotRow[slot] = slot;
  }
  std::sort(plan.slotRow.begin(), plan.slotRow.end(),
            [&plan](std::size_t a, std::size_t b) { return plan.keys[a] < plan.keys[b]; });
  plan.typeDirectories = resourceDirectory::kRecordSize + count * resourceEntry::kRecordSize;
  plan.nameDirectories = plan.typeDirectories + count * kOneEntryDirectorySize;
  plan.dataEntries = plan.nameDirectories + count * kOneEntryDirectorySize;
  // The keys in manifest order, the shared name second; the items after them, each on
  // its boundary.
  std::uint32_t at = plan.dataEntries + count * resourceDataEntry::kRecordSize;
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.keyString.push_back(at);
    at += resourceString::Size(static_cast<std::uint32_t>(plan.keys[row].size()));
    if (row == 0) {
      plan.nameString = at;
      at += resourceString::Size(static_cast<std::uint32_t>(std::strlen(kStoredItemName.text)));
    }
  }
  at = Align(at, kFirstBlockAlignment);
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.block.push_back(at);
    at = Align(at + sizes[row], kBlockAlignment);
  }
  plan.end = at;
  return plan;
}

// The directory tree: root, type, name and language levels, then the data entries.
void EmitTree(const StorePlan& plan, const std::vector<std::uint32_t>& sizes,
              std::uint32_t sectionRva, Layout* layout) {
  using resourceEntry::kDataIsDirectory;
  using resourceEntry::kNameIsString;
  const auto count = static_cast<std::uint32_t>(plan.keys.size());
  const auto keyOfSlot = [&plan](std::uint32_t slot) { return plan.keys[plan.slotRow[slot]]; };
  layout->Directory("the root directory", count, 0);
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    layout->Entry("the type entry of " + keyOfSlot(slot),
                  kNameIsString | plan.keyString[plan.slotRow[slot]],
                  kDataIsDirectory | (plan.typeDirectories + slot * kOneEntryDirectorySize));
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    layout->Directory("the type directory of " + keyOfSlot(slot), 1, 0);
    layout->Entry("the name entry of " + keyOfSlot(slot), kNameIsString | plan.nameString,
                  kDataIsDirectory | (plan.nameDirectories + slot * kOneEntryDirectorySize));
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    layout->Directory("the name directory of " + keyOfSlot(slot), 0, 1);
    layout->Entry("the language entry of " + keyOfSlot(slot), kItemLanguage,
                  plan.dataEntries + slot * resourceDataEntry::kRecordSize);
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    const std::size_t row = plan.slotRow[slot];
    layout->Add("the data entry of " + plan.keys[row], resourceDataEntry::kRecordSize,
                RecordKind::kDataEntry, {sectionRva + plan.block[row], sizes[row], 0, 0});
  }
}

// The strings, then each item on its boundary with the padding around it.
void EmitStringsAndItems(const StorePlan& plan, const std::vector<std::uint32_t>& sizes,
                         Layout* layout) {
  const auto count = static_cast<std::uint32_t>(plan.keys.size());
  for (std::uint32_t row = 0; row < count; ++row) {
    layout->String("the type string " + plan.keys[row], plan.keys[row]);
    if (row == 0) {
      layout->String(std::string("the name string ") + kStoredItemName.text, kStoredItemName.text);
    }
  }
  for (std::uint32_t row = 0; row < count; ++row) {
    layout->PadTo(row == 0 ? "the padding before the first item"
                           : "the padding after item " + plan.keys[row - 1],
                  plan.block[row]);
    layout->Add("item " + plan.keys[row], sizes[row], RecordKind::kItem, {}, "", row);
  }
  if (count != 0) {
    layout->PadTo("the padding after item " + plan.keys[count - 1], plan.end);
  }
}

}  // namespace

std::vector<StoreRecord> StoreRecords(const std::vector<std::uint32_t>& sizes,
                                      const std::vector<ManifestFile>& manifest,
                                      std::uint32_t sectionRva) {
  const StorePlan plan = PlanStore(sizes, manifest);
  Layout layout;
  EmitTree(plan, sizes, sectionRva, &layout);
  EmitStringsAndItems(plan, sizes, &layout);
  return layout.records;
}

std::uint32_t StoreSize(const std::vector<StoreRecord>& records) {
  return records.empty() ? 0 : records.back().at + records.back().size;
}

void RenderRecord(const StoreRecord& record, std::uint8_t* out) {
  std::memset(out, 0, record.size);
  if (record.kind == RecordKind::kString) {
    const auto put = [out](std::uint32_t at, std::uint32_t value) {
      out[at] = static_cast<std::uint8_t>(value);
      out[at + 1] = static_cast<std::uint8_t>(value >> 8);
    };
    put(0, static_cast<std::uint32_t>(record.text.size()));
    for (std::size_t i = 0; i < record.text.size(); ++i) {
      put(static_cast<std::uint32_t>(resourceString::kUnitsAt + 2 * i),
          static_cast<unsigned char>(record.text[i]));
    }
    return;
  }
  const std::vector<Field>& fields = FieldsOf(record.kind);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    for (std::uint32_t b = 0; b < fields[i].width; ++b) {
      out[fields[i].offset + b] = static_cast<std::uint8_t>(record.values[i] >> (8 * b));
    }
  }
}

Bytes RenderDirectory(const std::vector<StoreRecord>& records) {
  Bytes out;
  for (const StoreRecord& record : records) {
    if (record.kind == RecordKind::kItem) {
      break;
    }
    out.resize(record.at + record.size);
    RenderRecord(record, out.data() + record.at);
  }
  return out;
}
