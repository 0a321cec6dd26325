#include "store_plan.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kOneEntryDirectorySize =
    resourceDirectory::kRecordSize + resourceEntry::kRecordSize;
constexpr std::uint32_t kFirstBlockAlignment = 16;
constexpr std::uint32_t kBlockAlignment = 4;

std::uint32_t StringSize(const char* text) {
  return resourceString::Size(static_cast<std::uint32_t>(std::strlen(text)));
}

std::uint32_t Align(std::uint32_t value, std::uint32_t alignment) {
  return static_cast<std::uint32_t>(AlignUp(value, alignment));
}

}  // namespace

std::uint32_t RootEntryAt(std::uint32_t slot) {
  return resourceDirectory::kRecordSize + slot * resourceEntry::kRecordSize;
}
std::uint32_t TypeDirectoryAt(const StorePlan& plan, std::uint32_t slot) {
  return plan.typeDirectories + slot * kOneEntryDirectorySize;
}
std::uint32_t NameDirectoryAt(const StorePlan& plan, std::uint32_t slot) {
  return plan.nameDirectories + slot * kOneEntryDirectorySize;
}
std::uint32_t DataEntryAt(const StorePlan& plan, std::uint32_t slot) {
  return plan.dataEntries + slot * resourceDataEntry::kRecordSize;
}

StorePlan PlanStore(const std::vector<std::uint32_t>& sizes) {
  const std::vector<ManifestFile>& manifest = Manifest();
  const auto count = static_cast<std::uint32_t>(manifest.size());
  StorePlan plan;
  plan.sizes = sizes;
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.storeOrder.push_back(static_cast<int>(row));
  }
  std::sort(plan.storeOrder.begin(), plan.storeOrder.end(), [&manifest](int a, int b) {
    return UpperCase(manifest[a].itemKey) < UpperCase(manifest[b].itemKey);
  });
  plan.typeDirectories = RootEntryAt(count);
  plan.nameDirectories = plan.typeDirectories + count * kOneEntryDirectorySize;
  plan.dataEntries = plan.nameDirectories + count * kOneEntryDirectorySize;
  plan.strings = plan.dataEntries + count * resourceDataEntry::kRecordSize;

  // The keys in manifest order, the shared name second.
  std::uint32_t at = plan.strings;
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.keyString.push_back(at);
    at += StringSize(manifest[row].itemKey);
    if (row == 0) {
      plan.nameString = at;
      at += StringSize(kStoredItemName);
    }
  }
  plan.directoryEnd = at;
  at = Align(at, kFirstBlockAlignment);
  for (std::uint32_t row = 0; row < count; ++row) {
    plan.block.push_back(at);
    at = Align(at + sizes[row], kBlockAlignment);
  }
  plan.end = at;
  return plan;
}

namespace {

// Appends records to the section's bytes; each step checks where it began.
struct Emitter {
  Bytes* out;
  bool onPlan = true;

  std::size_t Record(std::uint32_t expectedAt, std::uint32_t size) {
    onPlan = onPlan && out->size() == expectedAt;
    const std::size_t at = out->size();
    out->resize(at + size);  // zeros
    return at;
  }
  void Directory(std::uint32_t expectedAt, std::uint32_t named, std::uint32_t ids) {
    const std::size_t at = Record(expectedAt, resourceDirectory::kRecordSize);
    Put(out, at, resourceDirectory::kNumberOfNamedEntries, named);
    Put(out, at, resourceDirectory::kNumberOfIdEntries, ids);
  }
  void Entry(std::uint32_t expectedAt, std::uint32_t name, std::uint32_t offsetToData) {
    const std::size_t at = Record(expectedAt, resourceEntry::kRecordSize);
    Put(out, at, resourceEntry::kName, name);
    Put(out, at, resourceEntry::kOffsetToData, offsetToData);
  }
  void String(std::uint32_t expectedAt, const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    const std::size_t at = Record(expectedAt, resourceString::Size(length));
    Put(out, at, resourceString::kLength, length);
    for (std::uint32_t i = 0; i < length; ++i) {
      Put(out, at + resourceString::kUnitsAt + std::size_t{2} * i, Field{"unit", 0, 2},
          static_cast<unsigned char>(text[i]));
    }
  }
  void Block(std::uint32_t expectedAt, const ItemBytes& item, std::uint32_t paddedEnd) {
    const std::size_t at = Record(expectedAt, item.size);
    std::copy(item.data, item.data + item.size, out->begin() + static_cast<long>(at));
    out->resize(paddedEnd, 0);
  }
};

void EmitDirectories(const StorePlan& plan, Emitter* emit) {
  const auto count = static_cast<std::uint32_t>(plan.storeOrder.size());
  using resourceEntry::kDataIsDirectory;
  using resourceEntry::kNameIsString;
  emit->Directory(0, count, 0);
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    const auto row = static_cast<std::size_t>(plan.storeOrder[slot]);
    emit->Entry(RootEntryAt(slot), kNameIsString | plan.keyString[row],
                kDataIsDirectory | TypeDirectoryAt(plan, slot));
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    emit->Directory(TypeDirectoryAt(plan, slot), 1, 0);
    emit->Entry(TypeDirectoryAt(plan, slot) + resourceDirectory::kRecordSize,
                kNameIsString | plan.nameString, kDataIsDirectory | NameDirectoryAt(plan, slot));
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    emit->Directory(NameDirectoryAt(plan, slot), 0, 1);
    emit->Entry(NameDirectoryAt(plan, slot) + resourceDirectory::kRecordSize, kItemLanguage,
                DataEntryAt(plan, slot));
  }
}

void EmitDataEntries(const StorePlan& plan, std::uint32_t sectionRva, Emitter* emit) {
  for (std::uint32_t slot = 0; slot < plan.storeOrder.size(); ++slot) {
    const auto row = static_cast<std::size_t>(plan.storeOrder[slot]);
    const std::size_t at = emit->Record(DataEntryAt(plan, slot), resourceDataEntry::kRecordSize);
    Put(emit->out, at, resourceDataEntry::kOffsetToData, sectionRva + plan.block[row]);
    Put(emit->out, at, resourceDataEntry::kSize, plan.sizes[row]);
  }
}

}  // namespace

bool WriteStore(const StorePlan& plan, const std::vector<ItemBytes>& items,
                std::uint32_t sectionRva, Bytes* out) {
  out->clear();
  out->reserve(plan.end);
  Emitter emit{out};
  EmitDirectories(plan, &emit);
  EmitDataEntries(plan, sectionRva, &emit);
  for (std::size_t row = 0; row < items.size(); ++row) {
    emit.String(plan.keyString[row], UpperCase(Manifest()[row].itemKey));
    if (row == 0) {
      emit.String(plan.nameString, kStoredItemName);
    }
  }
  emit.Record(plan.directoryEnd, plan.block[0] - plan.directoryEnd);
  for (std::size_t row = 0; row < items.size(); ++row) {
    const std::uint32_t paddedEnd = row + 1 < items.size() ? plan.block[row + 1] : plan.end;
    emit.onPlan = emit.onPlan && items[row].size == plan.sizes[row];
    emit.Block(plan.block[row], items[row], paddedEnd);
  }
  return emit.onPlan && out->size() == plan.end;
}

std::vector<PlannedRecord> PlannedRecords(const StorePlan& plan) {
  const std::vector<ManifestFile>& manifest = Manifest();
  const auto count = static_cast<std::uint32_t>(plan.storeOrder.size());
  const auto key = [&](std::uint32_t slot) {
    return UpperCase(manifest[static_cast<std::size_t>(plan.storeOrder[slot])].itemKey);
  };
  std::vector<PlannedRecord> records = {
      {"the root directory", 0, resourceDirectory::kRecordSize, &resourceDirectory::kRecord}};
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    records.push_back({"the type entry of " + key(slot), RootEntryAt(slot),
                       resourceEntry::kRecordSize, &resourceEntry::kRecord});
  }
  const auto directory = [&](const std::string& level, const std::string& entry, std::uint32_t at,
                             std::uint32_t slot) {
    records.push_back({"the " + level + " directory of " + key(slot), at,
                       resourceDirectory::kRecordSize, &resourceDirectory::kRecord});
    records.push_back({"the " + entry + " entry of " + key(slot),
                       at + resourceDirectory::kRecordSize, resourceEntry::kRecordSize,
                       &resourceEntry::kRecord});
  };
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    directory("type", "name", TypeDirectoryAt(plan, slot), slot);
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    directory("name", "language", NameDirectoryAt(plan, slot), slot);
  }
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    records.push_back({"the data entry of " + key(slot), DataEntryAt(plan, slot),
                       resourceDataEntry::kRecordSize, &resourceDataEntry::kRecord});
  }
  for (std::uint32_t row = 0; row < count; ++row) {
    const std::string stored = UpperCase(manifest[row].itemKey);
    records.push_back({"the type string " + stored, plan.keyString[row],
                       StringSize(manifest[row].itemKey), nullptr});
    if (row == 0) {
      records.push_back(
          {"the name string SELFINST", plan.nameString, StringSize(kStoredItemName), nullptr});
    }
  }
  records.push_back({"the padding before the first item", plan.directoryEnd,
                     plan.block[0] - plan.directoryEnd, nullptr});
  for (std::uint32_t row = 0; row < count; ++row) {
    const std::string stored = UpperCase(manifest[row].itemKey);
    const std::uint32_t next = row + 1 < count ? plan.block[row + 1] : plan.end;
    const std::uint32_t end = plan.block[row] + plan.sizes[row];
    records.push_back({"item " + stored, plan.block[row], plan.sizes[row], nullptr});
    records.push_back({"the padding after item " + stored, end, next - end, nullptr});
  }
  return records;
}
