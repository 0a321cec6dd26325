// Each rule of the store and each field a loader trusts, broken in a copy of a good
// image: verify reports it, and extract refuses the image and writes nothing.
#include <algorithm>
#include <filesystem>

#include "store/compiled_sizes.h"

#include "pack_support.h"

namespace {

struct Breakage {
  const char* name;
  void (*breakIt)(Bytes* image, const ParsedImage& parsed);
  const char* expectedProblem;  // a part of one line verify prints
  bool fixCheckSum;             // so that the breakage is the only problem
  bool extractRefuses;          // false when only the payload shows it
};

std::size_t At(const ParsedImage& parsed, std::uint32_t offset) {
  return parsed.store.sectionOffset + offset;
}
const StoredItem& Item(const ParsedImage& parsed, const char* key) {
  return parsed.store.items[ItemIndex(parsed.store, key)];
}
std::size_t StoreSectionHeader(const ParsedImage& parsed) {
  return parsed.pe.sections.back().headerOffset;
}
std::size_t ResourceDirectory(const ParsedImage& parsed) {
  return DataDirectoryAt(parsed.pe, dataDirectory::kResource);
}

// Where the launcher's table of the sizes it was compiled with lies in the image.
CompiledSizes CompiledTable(const Bytes& image, const ParsedImage& parsed) {
  CompiledSizes compiled;
  Report report;
  EXPECT_TRUE(
      FindCompiledSizes(AsImage(image), parsed.pe, parsed.store.section, &compiled, &report))
      << Lines(report);
  return compiled;
}

const Breakage kBreakages[] = {
    {"RootOrder",
     [](Bytes* image, const ParsedImage& parsed) {
       std::swap_ranges(image->begin() + static_cast<long>(At(parsed, 16)),
                        image->begin() + static_cast<long>(At(parsed, 24)),
                        image->begin() + static_cast<long>(At(parsed, 24)));
     },
     "the type entry of DATA_1 at store offset 16: Name is 0x800003f2, expected 0x80000350", true,
     true},
    {"UnalignedBlock",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, At(parsed, 680), Item(parsed, "DISK2_ID").dataRva + 2);
     },
     "the data entry of DISK2_ID at store offset 680: OffsetToData is", true, true},
    {"WrongLanguage",
     [](Bytes* image, const ParsedImage& parsed) { PutU32(image, At(parsed, 504), 1031); },
     "the language entry of SETUP_EXE at store offset 504: Name is 0x407, expected 0x409", true,
     true},
    {"WrongCodePage",
     [](Bytes* image, const ParsedImage& parsed) { PutU32(image, At(parsed, 640), 1252); },
     "the data entry of DATA_1 at store offset 632: CodePage is 0x4e4, expected 0x0", true, true},
    {"SecondNameString",
     [](Bytes* image, const ParsedImage& parsed) {
       // A copy of "SELFINST" over the start of README_TXT's block, used by DISK1_ID.
       for (std::uint32_t i = 0; i < 18; ++i) {
         (*image)[At(parsed, 1056 + i)] = (*image)[At(parsed, 830 + i)];
       }
       PutU32(image, At(parsed, 168), 0x80000000u | 1056);
     },
     "the name entry of DISK1_ID at store offset 168: Name is 0x80000420, expected 0x8000033e",
     true, true},
    {"LowerCaseKey",
     [](Bytes* image, const ParsedImage& parsed) { (*image)[At(parsed, 968 + 2 + 2 * 9)] = 'b'; },
     "the type string _SETUP_LIB at store offset 968 differs from the plan", true, true},
    {"MissingKey",
     [](Bytes* image, const ParsedImage& parsed) { (*image)[At(parsed, 808 + 2)] = 'Q'; },
     "key README_TXT is missing", true, true},
    {"KeyRenamedToAnother",
     [](Bytes* image, const ParsedImage& parsed) { (*image)[At(parsed, 1010 + 2 + 2 * 5)] = '1'; },
     "the key DATA_1 is stored twice", true, true},
    {"EmptyStore", [](Bytes* image, const ParsedImage& parsed) { (*image)[At(parsed, 12)] = 0; },
     "key README_TXT is missing", true, true},
    {"EmptyItem",
     [](Bytes* image, const ParsedImage& parsed) { PutU32(image, At(parsed, 664 + 4), 0); },
     "item DISK1_ID is empty", true, true},
    {"PaddingNotZero",
     [](Bytes* image, const ParsedImage& parsed) { (*image)[At(parsed, 1155831)] = 0x5A; },
     "the padding after item DISK1_ID at store offset 1155831 differs from the plan", true, true},
    {"ItemDiffersFromPayload",
     [](Bytes* image, const ParsedImage& parsed) { (*image)[At(parsed, 1211552 + 100)] ^= 1; },
     "item DATA_2 differs from the payload file", true, false},
    // As a stub built for an older payload would be packed: the launcher writes 2800 bytes.
    {"CompiledSizeDiffersFromItem",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, CompiledTable(*image, parsed).at, 2800);
     },
     "item README_TXT holds 2805 bytes, but the launcher was compiled for 2800: it would write "
     "readme.txt with the wrong bytes",
     true, true},
    {"CompiledSizesNotFound",
     [](Bytes* image, const ParsedImage& parsed) {
       const std::string key = "readme_txt";
       const auto at = std::search(image->begin(), image->end(), key.begin(), key.end());
       ASSERT_LT(static_cast<std::uint64_t>(at - image->begin()), parsed.store.sectionOffset);
       *at = 'R';
     },
     "the image holds no table of the file sizes its launcher was compiled with", true, true},
    {"WrongCheckSum",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, OptionalFieldAt(parsed.pe, optional::kCheckSum), 12345);
     },
     "the image checksum is wrong", false, true},
    {"StoreSectionVirtualSizeCut",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, StoreSectionHeader(parsed) + 8, 0x1000);
     },
     "the store section's VirtualSize is 0x1000, expected 0x2100c8", true, true},
    {"SizeOfHeadersPastTheSections",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, OptionalFieldAt(parsed.pe, optional::kSizeOfHeaders), 0xFFFFFFFF);
     },
     "SizeOfHeaders 0xffffffff does not end between the section table", true, true},
    {"StoreSectionWritableAndExecutable",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, StoreSectionHeader(parsed) + 36, 0xE0000040u);
     },
     "(.rsrc) is both writable and executable", true, true},
    {"ResourceDirectorySizeZero",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, ResourceDirectory(parsed) + 4, 0);
     },
     "the resource data directory's Size is 0x0, expected 0x2100c8", true, true},
    {"ResourceDirectorySizeAllOnes",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, ResourceDirectory(parsed) + 4, 0xFFFFFFFF);
     },
     "the resource data directory's Size is 0xffffffff, expected 0x2100c8", true, true},
    {"EmptyCertificateTable",
     [](Bytes* image, const ParsedImage& parsed) {
       const std::size_t table = DataDirectoryAt(parsed.pe, dataDirectory::kSecurity);
       PutU32(image, table, static_cast<std::uint32_t>(image->size()));
       PutU32(image, table + 4, 0);
     },
     "the certificate table is not after the last section, or holds no signature", true, true},
};

class VerifyCatches : public PackTest, public ::testing::WithParamInterface<Breakage> {};

TEST_P(VerifyCatches, TheBrokenRuleAndExtractWritesNothing) {
  Bytes image = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(image);
  GetParam().breakIt(&image, parsed);
  if (GetParam().fixCheckSum) {
    FixCheckSum(&image);
  }
  const std::string broken = dir + "/broken.exe";
  WriteBytes(broken, image);
  const CommandResult verify = RunPack({"verify", broken, "--payload", kPayload});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_NE(verify.output.find("selfinst-pack: " + broken + ": "), std::string::npos);
  EXPECT_NE(verify.output.find(GetParam().expectedProblem), std::string::npos) << verify.output;

  const CommandResult extract = RunPack({"extract", broken, "-C", dir + "/out"});
  if (GetParam().extractRefuses) {
    const CommandResult alone = RunPack({"verify", broken});
    EXPECT_EQ(alone.exitCode, 1) << "without --payload";
    EXPECT_NE(alone.output.find(GetParam().expectedProblem), std::string::npos) << alone.output;
    EXPECT_EQ(extract.exitCode, 1) << extract.output;
    EXPECT_NE(extract.output.find(GetParam().expectedProblem), std::string::npos) << extract.output;
    EXPECT_EQ(FolderEntries(dir + "/out"), std::vector<std::string>{});
  } else {
    EXPECT_EQ(extract.exitCode, 0) << extract.output;
  }
}

void PrintTo(const Breakage& b, std::ostream* out) { *out << b.name; }

INSTANTIATE_TEST_SUITE_P(Rules, VerifyCatches, ::testing::ValuesIn(kBreakages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, ListCallsOnlyAWellFormedCertificateTableSigned) {
  Bytes image = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(image);
  const std::size_t table = DataDirectoryAt(parsed.pe, dataDirectory::kSecurity);
  PutU32(&image, table, static_cast<std::uint32_t>(image.size()));
  PutU32(&image, table + 4, 0);
  FixCheckSum(&image);
  WriteBytes(dir + "/empty-table.exe", image);
  const CommandResult run = RunPack({"list", dir + "/empty-table.exe"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.output.find(": PE32, 11 items, malformed certificate table\n"), std::string::npos)
      << run.output;
}

}  // namespace
