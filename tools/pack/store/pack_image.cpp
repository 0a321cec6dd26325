#include "store/pack_image.h"

#include <algorithm>

#include "io/byte_count.h"
#include "io/output_folder.h"
#include "io/shown.h"
#include "pe/image_checksum.h"
#include "pe/loader_checks.h"
#include "pe/pe_image.h"
#include "store/size_table.h"
#include "store/store_layout.h"
#include "store/store_reader.h"

namespace {

constexpr std::uint32_t kPageSize = 0x1000;

// Where the new section goes, worked out from the stub before anything is written.
struct SectionPlan {
  std::size_t header = 0;  // of the new section header
  std::uint32_t rva = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t storeSize = 0;
};

[[nodiscard]] bool CheckStub(const ImageFile& stub, const PeImage& image, Report* report) {
  if (image.numberOfRvaAndSizes <= dataDirectory::kResource) {
    return Refuse(report, stub.path, "the image has no resource data directory");
  }
  if (DataDirectoryOf(image, dataDirectory::kResource).rva != 0 ||
      std::any_of(image.sections.begin(), image.sections.end(),
                  [](const Section& s) { return s.name == kStoreSectionName; })) {
    return Refuse(report, stub.path, PackedLauncherProblem(image.is64));
  }
  const DataDirectory certificates = DataDirectoryOf(image, dataDirectory::kSecurity);
  if (certificates.rva != 0 || certificates.size != 0) {
    return Refuse(report, stub.path, "the image is signed; attach the store before signing");
  }
  if (stub.size > RawEnd(image)) {
    return Refuse(report, stub.path, "the image has data after its last section");
  }
  // What the packed image copies of the stub is at most the stub: its headers must end in it.
  if (RawEnd(image) > stub.size) {
    return Refuse(report, stub.path,
                  "the image's SizeOfHeaders " + Hex(image.sizeOfHeaders) + " lies past its end");
  }
  const std::uint64_t headerEnd =
      image.sectionTableOffset +
      (image.sections.size() + 1) * std::uint64_t{sectionHeader::kRecordSize};
  if (headerEnd > image.sizeOfHeaders || headerEnd > FirstRawOffset(image, stub.size)) {
    return Refuse(report, stub.path,
                  "the image has no room in its header for another section header");
  }
  return true;
}

[[nodiscard]] bool PlanSection(const ImageFile& stub, const PeImage& image, std::uint32_t storeSize,
                               SectionPlan* plan, Report* report) {
  std::uint64_t imageEnd = AlignUp(image.sizeOfHeaders, image.sectionAlignment);
  for (const Section& section : image.sections) {
    imageEnd = std::max(imageEnd, MappedEnd(image, section));
  }
  plan->header = image.sectionTableOffset + image.sections.size() * sectionHeader::kRecordSize;
  plan->storeSize = storeSize;
  // On a page boundary in the file too, so that a loader can map the store rather than
  // copy it (Wine copies a section whose file offset is not page-aligned).
  const std::uint64_t rawOffset = AlignUp(RawEnd(image), std::max(image.fileAlignment, kPageSize));
  const std::uint64_t rawSize = AlignUp(storeSize, image.fileAlignment);
  const std::uint64_t mappedEnd = AlignUp(imageEnd + storeSize, image.sectionAlignment);
  if (mappedEnd > kLargestImage || rawOffset + rawSize > kLargestImage) {
    return Refuse(report, stub.path,
                  "the image's sections end at " + Hex(imageEnd) +
                      ", leaving no room for a store of " + std::to_string(storeSize) + " bytes");
  }
  plan->rva = static_cast<std::uint32_t>(imageEnd);
  plan->rawOffset = static_cast<std::uint32_t>(rawOffset);
  plan->rawSize = static_cast<std::uint32_t>(rawSize);
  return true;
}

// The stub's bytes up to the store, then the store's directory, with the headers
// describing the new section; the checksum is left zero.
Bytes ComposeHead(const ImageFile& stub, const PeImage& image, const SectionPlan& plan,
                  const std::vector<StoreRecord>& records) {
  using namespace optional;
  Bytes head = stub.head;
  head.resize(plan.rawOffset, 0);
  const Bytes directory = RenderDirectory(records);
  head.insert(head.end(), directory.begin(), directory.end());

  std::fill(head.begin() + static_cast<long>(plan.header),
            head.begin() + static_cast<long>(plan.header + sectionHeader::kRecordSize), 0);
  const std::string name = kStoreSectionName;
  std::copy(name.begin(), name.end(), head.begin() + static_cast<long>(plan.header));
  Put(&head, plan.header, sectionHeader::kVirtualSize, plan.storeSize);
  Put(&head, plan.header, sectionHeader::kVirtualAddress, plan.rva);
  Put(&head, plan.header, sectionHeader::kSizeOfRawData, plan.rawSize);
  Put(&head, plan.header, sectionHeader::kPointerToRawData, plan.rawOffset);
  Put(&head, plan.header, sectionHeader::kCharacteristics, kStoreCharacteristics);
  Put(&head, image.coffOffset, coff::kNumberOfSections,
      static_cast<std::uint32_t>(image.sections.size() + 1));
  // A payload near the ceiling needs more than 2 GB of address space; the launcher keeps
  // no pointer in a signed integer, so it may have the addresses above.
  Put(&head, image.coffOffset, coff::kCharacteristics,
      image.characteristics | coff::kLargeAddressAware);

  const std::size_t o = image.optionalOffset;
  Put(&head, o, Of(kSizeOfImage, image.is64),
      static_cast<std::uint32_t>(
          AlignUp(plan.rva + std::uint64_t{plan.storeSize}, image.sectionAlignment)));
  std::uint32_t initializedData = 0;
  (void)Get(head, o, Of(kSizeOfInitializedData, image.is64), &initializedData);
  Put(&head, o, Of(kSizeOfInitializedData, image.is64), initializedData + plan.rawSize);
  const std::size_t resources = DataDirectoryAt(image, dataDirectory::kResource);
  Put(&head, resources, dataDirectory::kVirtualAddress, plan.rva);
  Put(&head, resources, dataDirectory::kSize, plan.storeSize);
  Put(&head, o, Of(kCheckSum, image.is64), 0);
  return head;
}

// Writes `size` bytes, checksummed as they pass.
[[nodiscard]] bool Emit(OutputSet* output, const std::uint8_t* data, std::size_t size,
                        CheckSum* checkSum, Report* report) {
  AddToCheckSum(checkSum, data, size);
  return output->Write(0, data, size, report);
}

[[nodiscard]] bool EmitItems(const std::vector<StoreRecord>& records,
                             const std::vector<PayloadFile>& files, const OpenPayload& payload,
                             OutputSet* output, CheckSum* checkSum, Report* report,
                             const CopiedBytes& copied) {
  Bytes chunk(kChunkSize);
  const Bytes zeros(16, 0);
  bool pastFirstItem = false;
  for (const StoreRecord& record : records) {
    pastFirstItem = pastFirstItem || record.kind == RecordKind::kItem;
    if (!pastFirstItem) {
      continue;  // in the head
    }
    if (record.kind == RecordKind::kPadding) {
      if (!Emit(output, zeros.data(), record.size, checkSum, report)) {
        return false;
      }
      continue;
    }
    for (std::uint64_t done = 0; done < record.size;) {
      const auto size =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, record.size - done));
      if (!ReadPayload(files[record.row], payload.fds[record.row], done, size, chunk.data(),
                       report) ||
          !Emit(output, chunk.data(), size, checkSum, report)) {
        return false;
      }
      if (copied) {
        copied(size);
      }
      done += size;
    }
    if (!PayloadUnchanged(files[record.row], payload, record.row, report)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string PackedLauncherProblem(bool is64) {
  return std::string("the image is a packed launcher, not a stub: pack the stub ") +
         (is64 ? "tq30-stub-x64.exe" : "tq30-stub.exe") + " (in dist/) instead";
}

[[nodiscard]] bool ComposePackedHead(const ImageFile& stub, const std::vector<std::uint32_t>& sizes,
                                     PackedHead* packed, Report* report) {
  PeImage image;
  SizeTable table;
  if (!ParsePeImage(stub, &image, report) || !CheckStub(stub, image, report) ||
      !FindSizeTable(stub, image, image.sections.size(), &table, report)) {
    return false;
  }
  // The section's address is known only once its size is: plan it at address 0 first.
  SectionPlan plan;
  if (!PlanSection(stub, image, StoreSize(StoreRecords(sizes, Manifest(), 0)), &plan, report)) {
    return false;
  }
  packed->records = StoreRecords(sizes, Manifest(), plan.rva);
  packed->head = ComposeHead(stub, image, plan, packed->records);
  // The launcher writes each file with its row's size: the item's, from the same folder.
  for (std::size_t row = 0; row < sizes.size(); ++row) {
    Put(&packed->head, table.at + row * table.rowSize, Field{"size", 0, 4}, sizes[row]);
  }
  packed->imageSize = std::uint64_t{plan.rawOffset} + plan.rawSize;
  packed->checkSumAt = OptionalFieldAt(image, optional::kCheckSum);
  // The headers as verify will read them, checked before anything is written.
  ImageFile composed = ImageInMemory(stub.path, packed->head);
  composed.size = packed->imageSize;
  PeImage result;
  if (!ParsePeImage(composed, &result, report)) {
    return false;
  }
  const StageProblems stage(report);
  LoaderProblems(composed, result, result.sections.size() - 1, report);
  return stage.Passed();
}

[[nodiscard]] bool PackImage(const ImageFile& stub, const std::vector<PayloadFile>& files,
                             const OpenPayload& payload, OutputSet* output,
                             std::uint32_t* writtenCheckSum, Report* report,
                             const CopiedBytes& copied) {
  std::vector<std::uint32_t> sizes(files.size());
  std::transform(files.begin(), files.end(), sizes.begin(),
                 [](const PayloadFile& file) { return static_cast<std::uint32_t>(file.size); });
  PackedHead packed;
  if (!ComposePackedHead(stub, sizes, &packed, report)) {
    return false;
  }
  CheckSum checkSum;
  if (!Emit(output, packed.head.data(), packed.head.size(), &checkSum, report) ||
      !EmitItems(packed.records, files, payload, output, &checkSum, report, copied)) {
    return false;
  }
  // From the store's end to the section's raw end: fewer zeros than one FileAlignment.
  const Bytes zeros(kLargestFileAlignment, 0);
  const std::uint64_t written = checkSum.length;
  if (!Emit(output, zeros.data(), static_cast<std::size_t>(packed.imageSize - written), &checkSum,
            report)) {
    return false;
  }
  *writtenCheckSum = FinishCheckSum(checkSum);
  Bytes field(4);
  Put(&field, 0, Field{"CheckSum", 0, 4}, *writtenCheckSum);
  return output->WriteAt(0, packed.checkSumAt, field.data(), field.size(), report);
}
