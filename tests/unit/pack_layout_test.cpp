// The store that pack writes, checked byte by byte against offsets worked out by hand
// for the test payload (the demo's lengths), the headers of the image around it, and
// what list shows of it.
#include <filesystem>
#include <nlohmann/json.hpp>

#include "pack_process.h"
#include "pack_support.h"
#include "store/size_table.h"

namespace fs = std::filesystem;

namespace {

std::uint32_t U32(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}
std::uint16_t U16(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The root's sorted order. Root 16 + 11 * 8 = 104; type directories of 24 bytes from
// 104, name directories from 368, data entries of 16 bytes from 632, strings from 808:
// "README_TXT" (22 bytes), "SELFINST" at 830 (18), then the keys in manifest order,
// ending at 1042; blocks from 1056, each on a 4-byte boundary, in manifest order.
struct Slot {
  const char* key;
  std::uint32_t keyString;
  std::uint32_t block;
  std::uint32_t size;
};
const Slot kSlots[] = {{"DATA_1", 848, 3864, 786379},         {"DATA_2", 1010, 1211552, 951332},
                       {"DISK1_ID", 930, 1155828, 3},         {"DISK2_ID", 1024, 2162884, 3},
                       {"README_TXT", 808, 1056, 2805},       {"SETUP_EXE", 910, 1108212, 47616},
                       {"SETUP_INS", 948, 1155832, 12743},    {"SETUP_PKG", 990, 1211320, 230},
                       {"_INST32I_EX_", 884, 796212, 311998}, {"_SETUP_DLL", 862, 790244, 5968},
                       {"_SETUP_LIB", 968, 1168576, 42743}};
constexpr std::uint32_t kNameString = 830;
constexpr std::uint32_t kStoreSize = 2162888;  // the end of DISK2_ID's block, padded to 4

std::string StoredString(const Bytes& image, std::size_t at) {
  std::string text;
  for (std::uint16_t i = 0; i < U16(image, at); ++i) {
    text += static_cast<char>(U16(image, at + 2 + 2 * i));
  }
  return text;
}

class StoreLayout : public PackTest, public ::testing::WithParamInterface<const std::string*> {};

// Each record is read where the packer's plan puts it, and the plan's places are checked
// against the hand-worked ones.
TEST_P(StoreLayout, EveryRecordSitsWhereItWasWorkedOutByHand) {
  const Bytes image = Packed(*GetParam(), "out.exe");
  const ParsedImage parsed = Parse(image);
  const std::size_t base = parsed.store.sectionOffset;
  const std::uint32_t rva = parsed.store.sectionRva;
  const std::size_t root = RecordAt(parsed, "the root directory");
  EXPECT_EQ(root, base);
  EXPECT_EQ(U16(image, root + resourceDirectory::kNumberOfNamedEntries.offset), 11)
      << "root: eleven named entries";
  EXPECT_EQ(U16(image, root + resourceDirectory::kNumberOfIdEntries.offset), 0);
  for (std::uint32_t slot = 0; slot < 11; ++slot) {
    const Slot& s = kSlots[slot];
    const std::string key = s.key;
    SCOPED_TRACE(key);
    const std::size_t typeEntry = RecordAt(parsed, "the type entry of " + key);
    EXPECT_EQ(typeEntry, base + 16 + 8 * slot);
    EXPECT_EQ(U32(image, typeEntry + resourceEntry::kName.offset), 0x80000000u | s.keyString);
    EXPECT_EQ(U32(image, typeEntry + resourceEntry::kOffsetToData.offset),
              0x80000000u | (104 + 24 * slot));
    const std::size_t keyString = RecordAt(parsed, "the type string " + key);
    EXPECT_EQ(keyString, base + s.keyString);
    EXPECT_EQ(StoredString(image, keyString), s.key);
    const std::size_t type = RecordAt(parsed, "the type directory of " + key);
    EXPECT_EQ(type, base + 104 + 24 * slot);
    EXPECT_EQ(U16(image, type + resourceDirectory::kNumberOfNamedEntries.offset), 1);
    const std::size_t nameEntry = RecordAt(parsed, "the name entry of " + key);
    EXPECT_EQ(nameEntry, type + 16);
    EXPECT_EQ(U32(image, nameEntry + resourceEntry::kName.offset), 0x80000000u | kNameString);
    EXPECT_EQ(U32(image, nameEntry + resourceEntry::kOffsetToData.offset),
              0x80000000u | (368 + 24 * slot));
    const std::size_t name = RecordAt(parsed, "the name directory of " + key);
    EXPECT_EQ(name, base + 368 + 24 * slot);
    EXPECT_EQ(U16(image, name + resourceDirectory::kNumberOfIdEntries.offset), 1);
    const std::size_t language = RecordAt(parsed, "the language entry of " + key);
    EXPECT_EQ(language, name + 16);
    EXPECT_EQ(U32(image, language + resourceEntry::kName.offset), 1033u);
    EXPECT_EQ(U32(image, language + resourceEntry::kOffsetToData.offset), 632 + 16 * slot);
    const std::size_t data = RecordAt(parsed, "the data entry of " + key);
    EXPECT_EQ(data, base + 632 + 16 * slot);
    EXPECT_EQ(U32(image, data + resourceDataEntry::kOffsetToData.offset), rva + s.block);
    EXPECT_EQ(U32(image, data + resourceDataEntry::kSize.offset), s.size);
    EXPECT_EQ(U32(image, data + resourceDataEntry::kCodePage.offset), 0u) << "code page";
  }
  const std::size_t nameString =
      RecordAt(parsed, std::string("the name string ") + kStoredItemName.text);
  EXPECT_EQ(nameString, base + kNameString);
  EXPECT_EQ(StoredString(image, nameString), kStoredItemName.text);
  // The padding between the strings' end (1042) and the first block (1056) is zero.
  const std::size_t padding = RecordAt(parsed, "the padding before the first item");
  EXPECT_EQ(padding, base + 1042);
  EXPECT_EQ(RecordAt(parsed, "item README_TXT"), base + 1056);
  EXPECT_EQ(Bytes(image.begin() + static_cast<long>(padding),
                  image.begin() + static_cast<long>(base + 1056)),
            Bytes(14, 0));
}

TEST_P(StoreLayout, TheNewLastSectionAndTheHeadersDescribeTheStore) {
  const Bytes before = ReadBytes(*GetParam());
  const Bytes after = Packed(*GetParam(), "out.exe");
  const PeImage old = ParsePe(before);
  const ParsedImage now = Parse(after);
  ASSERT_EQ(now.pe.sections.size(), old.sections.size() + 1);
  const Section& store = now.pe.sections.back();
  const Section& last = now.pe.sections[now.pe.sections.size() - 2];
  EXPECT_EQ(store.name, ".rsrc");
  EXPECT_EQ(store.characteristics, 0x40000040u) << "initialized data, read-only";
  EXPECT_EQ(store.virtualSize, kStoreSize);
  EXPECT_EQ(store.sizeOfRawData, 0x210200u) << "the store rounded up to 512 bytes";
  EXPECT_EQ(store.pointerToRawData % 4096, 0u) << "page-aligned, so loaders can map it";
  EXPECT_EQ(store.pointerToRawData,
            (last.pointerToRawData + last.sizeOfRawData + 4095) / 4096 * 4096);
  EXPECT_EQ(store.virtualAddress, (last.virtualAddress + last.virtualSize + 4095) / 4096 * 4096);
  EXPECT_EQ(store.pointerToRawData + store.sizeOfRawData, after.size());
  EXPECT_EQ(now.pe.sizeOfImage, (store.virtualAddress + kStoreSize + 4095) / 4096 * 4096);
  const std::size_t resources = DataDirectoryAt(now.pe, dataDirectory::kResource);
  EXPECT_EQ(U32(after, resources + dataDirectory::kVirtualAddress.offset), store.virtualAddress);
  EXPECT_EQ(U32(after, resources + dataDirectory::kSize.offset), kStoreSize);
  EXPECT_EQ(U32(after, OptionalFieldAt(now.pe, optional::kSizeOfInitializedData)),
            U32(before, OptionalFieldAt(old, optional::kSizeOfInitializedData)) + 0x210200u);
  // The stub's own bytes are kept as they were, headers and the sizes pack writes aside.
  SizeTable table;
  Report report;
  ASSERT_TRUE(FindSizeTable(AsImage(before), old, old.sections.size(), &table, &report))
      << Lines(report);
  Bytes expected(before.begin(), before.end());
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    PutU32(&expected, table.at + row * table.rowSize,
           static_cast<std::uint32_t>(fs::file_size(kPayload + "/" + Manifest()[row].fileName)));
  }
  EXPECT_TRUE(std::equal(expected.begin() + static_cast<long>(old.sizeOfHeaders), expected.end(),
                         after.begin() + static_cast<long>(old.sizeOfHeaders)));
  const CommandResult run = RunPack({"verify", dir + "/out.exe", "--payload", kPayload});
  EXPECT_EQ(run.exitCode, 0) << run.output;
}

INSTANTIATE_TEST_SUITE_P(BothFormats, StoreLayout, ::testing::Values(&kStub32, &kStub64),
                         [](const auto& info) {
                           return std::string(info.param == &kStub32 ? "PE32" : "PE32Plus");
                         });

// The digest sha256sum gives of a file.
std::string Sha256Sum(const std::string& path) {
  ToolRun run;
  run.tool = "/usr/bin/sha256sum";
  run.args = {path};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return result.out.substr(0, result.out.find(' '));
}

// In manifest order: each file's name, key, size and the SHA-256 of its bytes, then the
// total; and the same as JSON.
TEST_F(PackTest, ListShowsTheElevenFilesInManifestOrderWithSizesAndDigests) {
  Packed(kStub32, "out.exe");
  const CommandResult run = RunPack({"list", dir + "/out.exe"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string expected = dir + "/out.exe: PE32, 11 items, unsigned\n" +
                         "file          key                 size  sha256\n";
  std::uint64_t total = 0;
  std::vector<std::string> digests;
  for (const ManifestFile& file : Manifest()) {
    const std::string path = kPayload + "/" + file.fileName;
    const auto size = static_cast<unsigned>(std::filesystem::file_size(path));
    digests.push_back(Sha256Sum(path));
    char line[160];
    std::snprintf(line, sizeof line, "%-13s %-13s %10u  %s\n", file.fileName,
                  UpperCase(file.itemKey).c_str(), size, digests.back().c_str());
    expected += line;
    total += size;
  }
  expected += "total: 11 files, " + std::to_string(total) + " bytes\n";
  EXPECT_EQ(run.output, expected);

  ToolRun json;
  json.args = {"list", "--json", dir + "/out.exe"};
  const ToolResult listed = RunTool(json);
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.err, "");
  const nlohmann::json document = nlohmann::json::parse(listed.out);
  EXPECT_EQ(document["image"], dir + "/out.exe");
  EXPECT_EQ(document["format"], "PE32");
  EXPECT_EQ(document["signature"], "none");
  ASSERT_EQ(document["items"].size(), Manifest().size());
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    const nlohmann::json& item = document["items"][row];
    const std::string path = kPayload + "/" + Manifest()[row].fileName;
    EXPECT_EQ(item["file"], Manifest()[row].fileName);
    EXPECT_EQ(item["key"], UpperCase(Manifest()[row].itemKey));
    EXPECT_EQ(item["size"], std::filesystem::file_size(path));
    EXPECT_EQ(item["sha256"], digests[row]) << path;
  }
  EXPECT_EQ(document["total"]["files"], 11);
  EXPECT_EQ(document["total"]["bytes"], total);
}

TEST_F(PackTest, ExtractGivesBackThePayloadByteForByte) {
  Packed(kStub64, "out.exe");
  const CommandResult run = RunPack({"extract", dir + "/out.exe", "-C", dir + "/unpacked"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(FolderEntries(dir + "/unpacked"), FolderEntries(kPayload));
  for (const std::string& name : FolderEntries(kPayload)) {
    EXPECT_EQ(ReadBytes(dir + "/unpacked/" + name), ReadBytes(kPayload + "/" + name)) << name;
  }
}

TEST_F(PackTest, SameStubAndPayloadGiveIdenticalBytes) {
  EXPECT_EQ(Packed(kStub32, "a.exe"), Packed(kStub32, "b.exe"));
  EXPECT_EQ(Packed(kStub64, "a.exe"), Packed(kStub64, "b.exe"));
}

}  // namespace
