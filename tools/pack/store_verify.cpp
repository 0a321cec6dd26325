// Verification: the store that should be there is planned from the items found, written
// into a buffer, and compared with the image record by record.
#include <algorithm>

#include "store_reader.h"

namespace {

// Which found item holds each manifest row; reports keys that are missing, unknown,
// not in upper case or empty.
std::vector<const StoredItem*> MatchRows(const StoreView& store,
                                         std::vector<std::string>* problems) {
  const std::vector<ManifestFile>& manifest = Manifest();
  std::vector<const StoredItem*> byRow(manifest.size(), nullptr);
  for (const StoredItem& item : store.items) {
    const int row = RowOfKey(item.key);
    if (row < 0) {
      problems->push_back("key " + item.key + " is not in the manifest");
      continue;
    }
    byRow[static_cast<std::size_t>(row)] = &item;
    if (item.size == 0) {
      problems->push_back("item " + item.key + " is empty");
    }
  }
  for (std::size_t row = 0; row < manifest.size(); ++row) {
    if (byRow[row] == nullptr) {
      problems->push_back("key " + UpperCase(manifest[row].itemKey) + " is missing");
    }
  }
  return byRow;
}

void CompareRecord(const Bytes& bytes, const StoreView& store, const Bytes& expected,
                   const PlannedRecord& record, std::vector<std::string>* problems) {
  const std::size_t actualAt = store.sectionOffset + record.at;
  if (std::equal(expected.begin() + record.at, expected.begin() + record.at + record.size,
                 bytes.begin() + static_cast<long>(actualAt))) {
    return;
  }
  const std::string where = record.what + " at store offset " + std::to_string(record.at);
  if (record.kind == nullptr) {
    problems->push_back(where + " differs from the plan");
    return;
  }
  for (std::size_t i = 0; i < record.kind->fieldCount; ++i) {
    const Field& field = record.kind->fields[i];
    std::uint32_t actual = 0;
    std::uint32_t planned = 0;
    (void)Get(bytes, actualAt, field, &actual);
    (void)Get(expected, record.at, field, &planned);
    if (actual != planned) {
      problems->push_back(where + ": " + field.name + " is " + Hex(actual) + ", expected " +
                          Hex(planned));
    }
  }
}

void CompareWithPlan(const Bytes& bytes, const StoreView& store, const StorePlan& plan,
                     const Bytes& expected, std::vector<std::string>* problems) {
  for (const PlannedRecord& record : PlannedRecords(plan)) {
    if (record.at + std::uint64_t{record.size} > store.sectionSize) {
      problems->push_back("the store is cut short: " + record.what + " lies past its section");
      return;
    }
    CompareRecord(bytes, store, expected, record, problems);
  }
  const auto tail = bytes.begin() + static_cast<long>(store.sectionOffset + plan.end);
  if (std::any_of(tail, tail + (store.sectionSize - plan.end), [](std::uint8_t b) { return b; })) {
    problems->emplace_back("the section's padding after the store holds non-zero bytes");
  }
}

// The section header and data directory that tell the loader where the store is.
void CheckStoreSection(const PeImage& image, const StoreView& store, std::uint32_t storeSize,
                       std::vector<std::string>* problems) {
  const Section& section = image.sections[store.section];
  const auto expect = [problems](const std::string& what, std::uint32_t actual,
                                 std::uint32_t expected) {
    if (actual != expected) {
      problems->push_back(what + " is " + Hex(actual) + ", expected " + Hex(expected));
    }
  };
  if (section.name != kStoreSectionName || store.section + 1 != image.sections.size()) {
    problems->push_back("the store's section is " + section.name + ", not the last section " +
                        kStoreSectionName);
  }
  expect("the store's offset in its section", store.sectionRva - section.virtualAddress, 0);
  expect("the store section's VirtualSize", section.virtualSize, storeSize);
  expect("the store section's SizeOfRawData", section.sizeOfRawData,
         static_cast<std::uint32_t>(AlignUp(storeSize, image.fileAlignment)));
  expect("the store section's Characteristics", section.characteristics, kStoreCharacteristics);
  expect("the resource data directory's Size", store.directorySize, storeSize);
}

void ComparePayload(const Bytes& bytes, const std::vector<const StoredItem*>& byRow,
                    const std::vector<Bytes>& payload, std::vector<std::string>* problems) {
  for (std::size_t row = 0; row < byRow.size() && row < payload.size(); ++row) {
    const StoredItem& item = *byRow[row];
    const auto first = bytes.begin() + static_cast<long>(item.fileOffset);
    if (payload[row].size() != item.size ||
        !std::equal(payload[row].begin(), payload[row].end(), first)) {
      problems->push_back("item " + item.key + " differs from the payload file " +
                          Manifest()[row].fileName);
    }
  }
}

}  // namespace

std::vector<std::string> VerifyStore(const Bytes& bytes, const PeImage& image,
                                     const StoreView& store, const std::vector<Bytes>* payload) {
  std::vector<std::string> problems;
  const std::vector<const StoredItem*> byRow = MatchRows(store, &problems);
  if (!problems.empty()) {
    return problems;  // the layout can only be planned for the full manifest
  }
  std::uint64_t total = 0;
  for (const StoredItem* item : byRow) {
    total += item->size;
  }
  if (total > kLargestPayload) {
    return {"the items add up to " + std::to_string(total) + " bytes, more than an image carries"};
  }
  std::vector<std::uint32_t> sizes;
  std::vector<ItemBytes> items;
  for (const StoredItem* item : byRow) {
    sizes.push_back(item->size);
    items.push_back({bytes.data() + item->fileOffset, item->size});
  }
  const StorePlan plan = PlanStore(sizes);
  Bytes expected;
  if (!WriteStore(plan, items, store.sectionRva, &expected)) {
    return {"the store cannot be planned for the items found"};
  }
  CompareWithPlan(bytes, store, plan, expected, &problems);
  CheckStoreSection(image, store, plan.end, &problems);
  if (payload != nullptr) {
    ComparePayload(bytes, byRow, *payload, &problems);
  }
  return problems;
}

std::vector<std::string> VerifyImage(const Bytes& bytes, const PeImage& image,
                                     const StoreView& store, const std::vector<Bytes>* payload) {
  std::vector<std::string> problems = LoaderProblems(bytes, image);
  const std::vector<std::string> storeProblems = VerifyStore(bytes, image, store, payload);
  problems.insert(problems.end(), storeProblems.begin(), storeProblems.end());
  return problems;
}
