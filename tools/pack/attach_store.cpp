#include "attach_store.h"

#include <algorithm>

#include "pe_image.h"
#include "store_plan.h"

namespace {

constexpr std::uint32_t kPageSize = 0x1000;

// Where the new section goes, worked out from the stub before anything is written.
struct SectionPlan {
  std::uint64_t fileEnd = 0;   // of the stub's last raw data
  std::uint64_t imageEnd = 0;  // of the stub's last section in memory
  std::size_t header = 0;      // of the new section header
  std::uint32_t rva = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
};

bool CheckStub(const Bytes& stub, const PeImage& image, std::string* error) {
  if (image.numberOfRvaAndSizes <= dataDirectory::kResource) {
    return Refuse(error, "the image has no resource data directory");
  }
  if (ReadDataDirectory(stub, image, dataDirectory::kResource).rva != 0 ||
      std::any_of(image.sections.begin(), image.sections.end(),
                  [](const Section& s) { return s.name == kStoreSectionName; })) {
    return Refuse(error, "the image already has a resource section");
  }
  const DataDirectory certificates = ReadDataDirectory(stub, image, dataDirectory::kSecurity);
  if (certificates.rva != 0 || certificates.size != 0) {
    return Refuse(error, "the image is signed; attach the store before signing");
  }
  return true;
}

bool PlanSection(const Bytes& stub, const PeImage& image, SectionPlan* plan, std::string* error) {
  plan->fileEnd = image.sizeOfHeaders;
  plan->imageEnd = image.sizeOfHeaders;
  std::uint64_t firstRaw = UINT64_MAX;
  for (const Section& section : image.sections) {
    plan->fileEnd = std::max<std::uint64_t>(
        plan->fileEnd, std::uint64_t{section.pointerToRawData} + section.sizeOfRawData);
    plan->imageEnd = std::max<std::uint64_t>(
        plan->imageEnd, std::uint64_t{section.virtualAddress} +
                            std::max(section.virtualSize, section.sizeOfRawData));
    if (section.sizeOfRawData != 0) {
      firstRaw = std::min<std::uint64_t>(firstRaw, section.pointerToRawData);
    }
  }
  if (stub.size() > plan->fileEnd) {
    return Refuse(error, "the image has data after its last section");
  }
  plan->header = image.sectionTableOffset + image.sections.size() * sectionHeader::kRecordSize;
  const std::uint64_t headerEnd = plan->header + sectionHeader::kRecordSize;
  if (headerEnd > image.sizeOfHeaders || headerEnd > firstRaw) {
    return Refuse(error, "the image has no room in its header for another section header");
  }
  if (image.sizeOfHeaders > stub.size()) {
    return Refuse(error, "the image's SizeOfHeaders lies past its end");
  }
  if (plan->imageEnd + kLargestPayload + 0x10000 > kLargestImage) {
    return Refuse(error, "the image's sections end at " + std::to_string(plan->imageEnd) +
                             ", leaving no room for the store in a 32-bit Windows image");
  }
  plan->rva = static_cast<std::uint32_t>(AlignUp(plan->imageEnd, image.sectionAlignment));
  // On a page boundary in the file too, so that a loader can map the store rather than
  // copy it (Wine copies a section whose file offset is not page-aligned).
  plan->rawOffset =
      static_cast<std::uint32_t>(AlignUp(plan->fileEnd, std::max(image.fileAlignment, kPageSize)));
  return true;
}

void WriteSectionHeader(const PeImage& image, const SectionPlan& plan, std::uint32_t storeSize,
                        Bytes* out) {
  using namespace sectionHeader;
  std::fill(out->begin() + static_cast<long>(plan.header),
            out->begin() + static_cast<long>(plan.header + kRecordSize), 0);
  const std::string name = kStoreSectionName;
  std::copy(name.begin(), name.end(), out->begin() + static_cast<long>(plan.header));
  Put(out, plan.header, kVirtualSize, storeSize);
  Put(out, plan.header, kVirtualAddress, plan.rva);
  Put(out, plan.header, kSizeOfRawData, plan.rawSize);
  Put(out, plan.header, kPointerToRawData, plan.rawOffset);
  Put(out, plan.header, kCharacteristics, kStoreCharacteristics);
  Put(out, image.coffOffset, coff::kNumberOfSections,
      static_cast<std::uint32_t>(image.sections.size() + 1));
}

void UpdateOptionalHeader(const PeImage& image, const SectionPlan& plan, std::uint32_t storeSize,
                          Bytes* out) {
  using namespace optional;
  const std::size_t o = image.optionalOffset;
  Put(out, o, Of(kSizeOfImage, image.is64),
      static_cast<std::uint32_t>(
          AlignUp(plan.rva + std::uint64_t{storeSize}, image.sectionAlignment)));
  Put(out, o, Of(kSizeOfInitializedData, image.is64),
      OptionalField(*out, image, kSizeOfInitializedData) + plan.rawSize);
  const std::size_t resources = DataDirectoryAt(image, dataDirectory::kResource);
  Put(out, resources, dataDirectory::kVirtualAddress, plan.rva);
  Put(out, resources, dataDirectory::kSize, storeSize);
  const std::size_t checkSum = OptionalFieldAt(image, kCheckSum);
  Put(out, o, Of(kCheckSum, image.is64), 0);
  Put(out, o, Of(kCheckSum, image.is64), ComputeCheckSum(*out, checkSum));
}

}  // namespace

bool AttachStore(const Bytes& stub, const std::vector<Bytes>& items, Bytes* out,
                 std::string* error) {
  if (items.size() != Manifest().size()) {
    return Refuse(error, "the store holds exactly the manifest's " +
                             std::to_string(Manifest().size()) + " items");
  }
  PeImage image;
  SectionPlan section;
  if (!ParsePeImage(stub, &image, error) || !CheckStub(stub, image, error) ||
      !PlanSection(stub, image, &section, error)) {
    return false;
  }
  std::uint64_t total = 0;
  std::vector<std::uint32_t> sizes;
  std::vector<ItemBytes> views;
  for (const Bytes& item : items) {
    total += item.size();
    sizes.push_back(static_cast<std::uint32_t>(item.size()));
    views.push_back({item.data(), static_cast<std::uint32_t>(item.size())});
  }
  if (total > kLargestPayload) {
    return Refuse(error, "the payload is too large for a 32-bit Windows image");
  }
  Bytes store;
  if (!WriteStore(PlanStore(sizes), views, section.rva, &store)) {
    return Refuse(error, "the store did not come out as planned");
  }
  const auto storeSize = static_cast<std::uint32_t>(store.size());
  section.rawSize = static_cast<std::uint32_t>(AlignUp(storeSize, image.fileAlignment));
  // Reserved whole: growing a 2 GiB image in steps would hold two copies of it at once.
  out->reserve(std::size_t{section.rawOffset} + section.rawSize);
  out->assign(stub.begin(), stub.end());
  out->resize(section.rawOffset, 0);
  out->insert(out->end(), store.begin(), store.end());
  out->resize(std::size_t{section.rawOffset} + section.rawSize, 0);
  WriteSectionHeader(image, section, storeSize, out);
  UpdateOptionalHeader(image, section, storeSize, out);
  return true;
}
