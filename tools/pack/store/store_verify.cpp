// Verification: the records planned for the items found are compared with the image's
// bytes record by record (a key's case too, through its string), the loader's fields are
// checked, and one pass over the file takes the checksum, checks the padding and hands on
// the items' bytes.
#include "store/store_verify.h"

#include <algorithm>
#include <memory>

#include "io/byte_count.h"
#include "io/shown.h"
#include "payload/ceiling.h"
#include "pe/loader_checks.h"
#include "store/size_table.h"
#include "store/store_reader.h"

namespace {

void CheckStoreSection(const ImageFile& file, const PeImage& image, const StoreView& store,
                       std::uint32_t storeSize, Report* report) {
  const Section& section = image.sections[store.section];
  const auto expect = [&file, report](const std::string& what, std::uint32_t actual,
                                      std::uint32_t expected) {
    if (actual != expected) {
      Refuse(report, file.path, what + " is " + Hex(actual) + ", expected " + Hex(expected));
    }
  };
  if (section.name != kStoreSectionName || store.section + 1 != image.sections.size()) {
    Refuse(
        report, file.path,
        "the store's section is " + section.name + ", not the last section " + kStoreSectionName);
  }
  expect("the store's offset in its section", store.sectionRva - section.virtualAddress, 0);
  expect("the store section's VirtualSize", section.virtualSize, storeSize);
  expect("the store section's SizeOfRawData", section.sizeOfRawData,
         static_cast<std::uint32_t>(AlignUp(storeSize, image.fileAlignment)));
  expect("the store section's Characteristics", section.characteristics, kStoreCharacteristics);
  expect("the resource data directory's Size", store.directorySize, storeSize);
}

std::string Where(const StoreRecord& record) {
  return record.what + " at store offset " + std::to_string(record.at);
}

void CompareRecord(const ImageFile& file, const StoreRecord& record, const std::uint8_t* actual,
                   const std::uint8_t* planned, Report* report) {
  if (std::equal(planned, planned + record.size, actual)) {
    return;
  }
  const std::vector<Field>& fields = FieldsOf(record.kind);
  if (fields.empty()) {
    Refuse(report, file.path, Where(record) + " differs from the plan");
    return;
  }
  const Bytes actualBytes(actual, actual + record.size);
  const Bytes plannedBytes(planned, planned + record.size);
  for (const Field& field : fields) {
    std::uint32_t found = 0;
    std::uint32_t expected = 0;
    (void)Get(actualBytes, 0, field, &found);
    (void)Get(plannedBytes, 0, field, &expected);
    if (found != expected) {
      Refuse(
          report, file.path,
          Where(record) + ": " + field.name + " is " + Hex(found) + ", expected " + Hex(expected));
    }
  }
}

// The directory, and the padding up to the first item, as planned; false when the store
// is too short to hold the records.
[[nodiscard]] bool CompareDirectory(const ImageFile& file, const StoreView& store,
                                    const std::vector<StoreRecord>& records, Report* report) {
  for (const StoreRecord& record : records) {
    if (record.at + std::uint64_t{record.size} > store.sectionSize) {
      return Refuse(report, file.path,
                    "the store is cut short: " + record.what + " lies past its section");
    }
  }
  const Bytes planned = RenderDirectory(records);
  Bytes actual(planned.size());
  if (!ReadAt(file, store.sectionOffset, actual.size(), actual.data())) {
    return Refuse(report, file.path, "the store's directory cannot be read");
  }
  for (const StoreRecord& record : records) {
    if (record.kind == RecordKind::kItem) {
      break;
    }
    CompareRecord(file, record, actual.data() + record.at, planned.data() + record.at, report);
  }
  return true;
}

// A span that must hold zero bytes only; says so once.
Span ZeroSpan(const ImageFile& file, std::uint64_t at, std::uint64_t size,
              const std::string& problem, Report* report) {
  auto said = std::make_shared<bool>(false);
  return {at, size, [&file, problem, report, said](const std::uint8_t* data, std::size_t n) {
            if (!*said && std::any_of(data, data + n, [](std::uint8_t b) { return b != 0; })) {
              *said = true;
              Refuse(report, file.path, problem);
            }
            return true;
          }};
}

// The launcher writes each file with the size in its table, not the item's: any other
// item would be written cut short, or with bytes that are not the file's.
void CheckSizeTable(const ImageFile& file, const PeImage& image, const StoreView& store,
                    const std::vector<const StoredItem*>& byRow, Report* report) {
  SizeTable table;
  if (!FindSizeTable(file, image, store.section, &table, report)) {
    return;
  }
  for (std::size_t row = 0; row < byRow.size(); ++row) {
    if (byRow[row]->size != table.sizes[row]) {
      Refuse(report, file.path,
             "item " + UpperCase(Manifest()[row].itemKey) + " holds " +
                 ByteCount(byRow[row]->size) + ", but the launcher's table says " +
                 std::to_string(table.sizes[row]) + ": it would write " + Manifest()[row].fileName +
                 " with the wrong bytes");
    }
  }
}

// The size a PE32 without the large-address flag may carry: its 2 GB leave no more.
void CheckLargeAddressAware(const ImageFile& file, const PeImage& image, std::uint64_t total,
                            Report* report) {
  if (!image.is64 && (image.characteristics & coff::kLargeAddressAware) == 0 &&
      total > kLargestPayloadOn32BitWindows) {
    Refuse(report, file.path,
           "the image is not large-address-aware, so its " + std::to_string(total) +
               " bytes of payload leave it no room to start");
  }
}

}  // namespace

[[nodiscard]] bool MatchRows(const ImageFile& file, const StoreView& store,
                             std::vector<const StoredItem*>* byRow, Report* report) {
  const std::vector<ManifestFile>& manifest = Manifest();
  const StageProblems stage(report);
  byRow->assign(manifest.size(), nullptr);
  for (const StoredItem& item : store.items) {
    const int row = RowOfKey(item.key);
    if (row < 0) {
      Refuse(report, file.path, "key " + item.key + " is not in the manifest");
      continue;
    }
    (*byRow)[static_cast<std::size_t>(row)] = &item;
    if (item.size == 0) {
      Refuse(report, file.path, "item " + item.key + " is empty");
    }
  }
  for (std::size_t row = 0; row < manifest.size(); ++row) {
    if ((*byRow)[row] == nullptr) {
      Refuse(report, file.path, "key " + UpperCase(manifest[row].itemKey) + " is missing");
    }
  }
  return stage.Passed();
}

namespace {

// With `writtenCheckSum`, the pass over the file is left out and that checksum taken.
[[nodiscard]] bool Verify(const ImageFile& file, const PeImage& image, const StoreView& store,
                          const ItemTaker& takeItem, const std::uint32_t* writtenCheckSum,
                          const std::vector<Span>& alsoTake, Report* report) {
  const StageProblems stage(report);
  LoaderProblems(file, image, store.section, report);
  std::vector<const StoredItem*> byRow;
  if (!MatchRows(file, store, &byRow, report)) {
    return false;  // the layout can only be planned for the full manifest
  }
  std::uint64_t total = 0;
  std::vector<std::uint32_t> sizes;
  for (const StoredItem* item : byRow) {
    total += item->size;
    sizes.push_back(item->size);
  }
  if (!CheckPayloadTotal(total, file.path, false, report)) {
    return false;
  }
  CheckLargeAddressAware(file, image, total, report);
  CheckSizeTable(file, image, store, byRow, report);
  const std::vector<StoreRecord> records = StoreRecords(sizes, Manifest(), store.sectionRva);
  const std::uint32_t storeSize = StoreSize(records);
  CheckStoreSection(file, image, store, storeSize, report);
  if (!CompareDirectory(file, store, records, report)) {
    return false;
  }
  if (writtenCheckSum != nullptr) {
    CheckCheckSum(file, image, *writtenCheckSum, report);
    return stage.Passed();
  }
  std::vector<Span> spans;
  bool pastFirstItem = false;
  for (const StoreRecord& record : records) {
    pastFirstItem = pastFirstItem || record.kind == RecordKind::kItem;
    if (record.kind == RecordKind::kPadding && pastFirstItem) {
      spans.push_back(ZeroSpan(file, store.sectionOffset + record.at, record.size,
                               Where(record) + " differs from the plan", report));
    }
  }
  spans.push_back(ZeroSpan(file, store.sectionOffset + storeSize, store.sectionSize - storeSize,
                           "the section's padding after the store holds non-zero bytes", report));
  if (takeItem) {
    for (std::size_t row = 0; row < byRow.size(); ++row) {
      spans.push_back({byRow[row]->fileOffset, byRow[row]->size,
                       [&takeItem, row](const std::uint8_t* data, std::size_t size) {
                         return takeItem(row, data, size);
                       }});
    }
  }
  spans.insert(spans.end(), alsoTake.begin(), alsoTake.end());
  std::uint32_t checkSum = 0;
  if (!ScanImage(file, OptionalFieldAt(image, optional::kCheckSum), spans, &checkSum, report)) {
    return false;
  }
  CheckCheckSum(file, image, checkSum, report);
  return stage.Passed();
}

}  // namespace

[[nodiscard]] bool VerifyImage(const ImageFile& file, const PeImage& image, const StoreView& store,
                               const ItemTaker& takeItem, Report* report,
                               const std::vector<Span>& alsoTake) {
  return Verify(file, image, store, takeItem, nullptr, alsoTake, report);
}

[[nodiscard]] bool VerifyWrittenImage(const ImageFile& file, const PeImage& image,
                                      const StoreView& store, std::uint32_t writtenCheckSum,
                                      Report* report) {
  return Verify(file, image, store, ItemTaker{}, &writtenCheckSum, {}, report);
}
