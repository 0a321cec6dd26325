// Fields of a packed image that a loader follows beyond the store and the section table,
// each broken in a copy of a good image with its checksum fixed: verify names the image
// on every line it prints, and extract writes nothing from it.
#include <filesystem>

#include "pack_process.h"
#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kAddressOfEntryPoint = 16;  // in the optional header

struct Breakage {
  const char* name;
  void (*breakIt)(Bytes* image, const PeImage& pe);
};

const Section& StoreSection(const PeImage& pe) { return pe.sections.back(); }

const Breakage kBreakages[] = {
    {"StoreDataNotFileAligned",
     [](Bytes* image, const PeImage& pe) {
       // The data moves with its pointer, so that only the alignment is wrong.
       const Section& store = StoreSection(pe);
       image->insert(image->begin() + store.pointerToRawData, 0x10, 0);
       PutU32(image, store.headerOffset + sectionHeader::kPointerToRawData.offset,
              store.pointerToRawData + 0x10);
     }},
    {"EntryPointOutsideEverySection",
     [](Bytes* image, const PeImage& pe) {
       PutU32(image, pe.optionalOffset + kAddressOfEntryPoint, 0x7FFF0000);
     }},
    {"EntryPointInANonExecutableSection",
     [](Bytes* image, const PeImage& pe) {
       PutU32(image, pe.optionalOffset + kAddressOfEntryPoint,
              StoreSection(pe).virtualAddress + 0x10);
     }},
    {"ImportDirectoryInTheStore",
     [](Bytes* image, const PeImage& pe) {
       PutU32(image, DataDirectoryAt(pe, dataDirectory::kImport), StoreSection(pe).virtualAddress);
     }},
    {"BaseRelocationsPastTheImage",
     [](Bytes* image, const PeImage& pe) {
       const std::size_t at = DataDirectoryAt(pe, dataDirectory::kBaseRelocation);
       PutU32(image, at, pe.sizeOfImage + 0x1000);
       PutU32(image, at + 4, 0x100);
     }},
    {"BytesAfterTheLastSection",
     [](Bytes* image, const PeImage&) { image->insert(image->end(), 512, 0xCC); }},
};

class VerifySees : public PackTest, public ::testing::WithParamInterface<Breakage> {};

TEST_P(VerifySees, TheBrokenFieldAndExtractWritesNothing) {
  Bytes image = Packed(kStub32, "good.exe");
  GetParam().breakIt(&image, ParsePe(image));
  FixCheckSum(&image);
  const std::string broken = dir + "/broken.exe";
  WriteBytes(broken, image);
  ToolRun verify;
  verify.args = {"verify", broken, "--payload", kPayload};
  const ToolResult verified = RunTool(verify);
  EXPECT_EQ(verified.exitCode, 1) << verified.out << verified.err;
  EXPECT_TRUE(EveryLineStartsWith(verified.err, "selfinst-pack: " + broken + ": ")) << verified.err;
  EXPECT_EQ(verified.out, "");
  ToolRun extract;
  extract.args = {"extract", broken, "-C", dir + "/out"};
  const ToolResult extracted = RunTool(extract);
  EXPECT_EQ(extracted.exitCode, 1) << extracted.err;
  EXPECT_TRUE(EveryLineStartsWith(extracted.err, "selfinst-pack: " + broken + ": "))
      << extracted.err;
  EXPECT_FALSE(fs::exists(dir + "/out"));
}

void PrintTo(const Breakage& b, std::ostream* out) { *out << b.name; }

INSTANTIATE_TEST_SUITE_P(Fields, VerifySees, ::testing::ValuesIn(kBreakages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, AGoodImageStillVerifies) {
  Packed(kStub32, "good.exe");
  ToolRun verify;
  verify.args = {"verify", dir + "/good.exe", "--payload", kPayload};
  const ToolResult verified = RunTool(verify);
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_EQ(verified.out, dir + "/good.exe: 11 items match " + kPayload + ", byte for byte\n");
  EXPECT_EQ(verified.err, "");
}

}  // namespace
