// Each rule of the store and each field a loader trusts, broken in a copy of a good
// image: verify names the image on every line it prints and reports the broken rule, and
// extract refuses the image and writes nothing.
#include <algorithm>
#include <filesystem>

#include "payload/manifest.h"
#include "store/size_table.h"

#include "pack_process.h"
#include "pack_support.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

ToolResult RunArgs(std::vector<std::string> args) {
  ToolRun run;
  run.args = std::move(args);
  return RunTool(run);
}

struct Breakage {
  const char* name;
  void (*breakIt)(Bytes* image, const ParsedImage& parsed);
  const char* expectedProblem;  // a part of one line verify prints
  bool fixCheckSum;             // so that the breakage is the only problem
  bool extractRefuses;          // false when only the payload shows it
};

const StoredItem& Item(const ParsedImage& parsed, const char* key) {
  return parsed.store.items[ItemIndex(parsed.store, key)];
}
const Section& StoreSection(const ParsedImage& parsed) { return parsed.pe.sections.back(); }
std::size_t StoreSectionField(const ParsedImage& parsed, const Field& field) {
  return StoreSection(parsed).headerOffset + field.offset;
}
std::size_t DirectoryField(const ParsedImage& parsed, int directory, const Field& field) {
  return DataDirectoryAt(parsed.pe, directory) + field.offset;
}
std::size_t EntryPointAt(const ParsedImage& parsed) {
  return parsed.pe.optionalOffset + optional::kAddressOfEntryPoint.offset;
}

// Where the launcher's table of its files' sizes lies in the image.
SizeTable TableOfSizes(const Bytes& image, const ParsedImage& parsed) {
  SizeTable table;
  Report report;
  EXPECT_TRUE(FindSizeTable(AsImage(image), parsed.pe, parsed.store.section, &table, &report))
      << Lines(report);
  return table;
}

const Breakage kBreakages[] = {
    {"RootOrder",
     [](Bytes* image, const ParsedImage& parsed) {
       const auto first = static_cast<long>(RecordAt(parsed, "the type entry of DATA_1"));
       const auto second = static_cast<long>(RecordAt(parsed, "the type entry of DATA_2"));
       std::swap_ranges(image->begin() + first, image->begin() + second, image->begin() + second);
     },
     "the type entry of DATA_1 at store offset 16: Name is 0x800003f2, expected 0x80000350", true,
     true},
    {"UnalignedBlock",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image,
              FieldAt(parsed, "the data entry of DISK2_ID", resourceDataEntry::kOffsetToData),
              Item(parsed, "DISK2_ID").dataRva + 2);
     },
     "the data entry of DISK2_ID at store offset 680: OffsetToData is", true, true},
    {"WrongLanguage",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, "the language entry of SETUP_EXE", resourceEntry::kName),
              1031);
     },
     "the language entry of SETUP_EXE at store offset 504: Name is 0x407, expected 0x409", true,
     true},
    {"WrongCodePage",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, "the data entry of DATA_1", resourceDataEntry::kCodePage),
              1252);
     },
     "the data entry of DATA_1 at store offset 632: CodePage is 0x4e4, expected 0x0", true, true},
    {"SecondNameString",
     [](Bytes* image, const ParsedImage& parsed) {
       // A copy of the name string over the start of README_TXT's block, used by DISK1_ID.
       const std::string name = std::string("the name string ") + kStoredItemName.text;
       const std::size_t from = RecordAt(parsed, name);
       const std::size_t to = RecordAt(parsed, "item README_TXT");
       const std::size_t size = resourceString::Size(sizeof kStoredItemName.text - 1);
       std::copy_n(image->begin() + static_cast<long>(from), size,
                   image->begin() + static_cast<long>(to));
       PutU32(image, FieldAt(parsed, "the name entry of DISK1_ID", resourceEntry::kName),
              resourceEntry::kNameIsString |
                  static_cast<std::uint32_t>(to - RecordAt(parsed, "the root directory")));
     },
     "the name entry of DISK1_ID at store offset 168: Name is 0x80000420, expected 0x8000033e",
     true, true},
    {"LowerCaseKey",
     [](Bytes* image, const ParsedImage& parsed) {
       (*image)[UnitAt(parsed, "the type string _SETUP_LIB", 9)] = 'b';
     },
     "the type string _SETUP_LIB at store offset 968 differs from the plan", true, true},
    {"MissingKey",
     [](Bytes* image, const ParsedImage& parsed) {
       (*image)[UnitAt(parsed, "the type string README_TXT", 0)] = 'Q';
     },
     "key README_TXT is missing", true, true},
    {"KeyRenamedToAnother",
     [](Bytes* image, const ParsedImage& parsed) {
       (*image)[UnitAt(parsed, "the type string DATA_2", 5)] = '1';
     },
     "the key DATA_1 is stored twice", true, true},
    {"EmptyStore",
     [](Bytes* image, const ParsedImage& parsed) {
       (*image)[FieldAt(parsed, "the root directory", resourceDirectory::kNumberOfNamedEntries)] =
           0;
     },
     "key README_TXT is missing", true, true},
    {"EmptyItem",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, "the data entry of DISK1_ID", resourceDataEntry::kSize), 0);
     },
     "item DISK1_ID is empty", true, true},
    {"PaddingNotZero",
     [](Bytes* image, const ParsedImage& parsed) {
       (*image)[RecordAt(parsed, "the padding after item DISK1_ID")] = 0x5A;
     },
     "the padding after item DISK1_ID at store offset 1155831 differs from the plan", true, true},
    {"ItemDiffersFromPayload",
     [](Bytes* image, const ParsedImage& parsed) {
       (*image)[RecordAt(parsed, "item DATA_2") + 100] ^= 1;
     },
     "item DATA_2 differs from the payload file", true, false},
    // The launcher writes 2800 bytes.
    {"TableSizeDiffersFromItem",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, TableOfSizes(*image, parsed).at, 2800);
     },
     "item README_TXT holds 2805 bytes, but the launcher's table says 2800: it would write "
     "readme.txt with the wrong bytes",
     true, true},
    {"SizeTableNotFound",
     [](Bytes* image, const ParsedImage& parsed) {
       const std::string key = "readme_txt";
       const auto at = std::search(image->begin(), image->end(), key.begin(), key.end());
       ASSERT_LT(static_cast<std::uint64_t>(at - image->begin()), parsed.store.sectionOffset);
       *at = 'R';
     },
     "the image holds no table of its files' sizes: it is not a launcher of these sources", true,
     true},
    {"WrongCheckSum",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, OptionalFieldAt(parsed.pe, optional::kCheckSum), 12345);
     },
     "the image checksum is wrong", false, true},
    {"StoreSectionVirtualSizeCut",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, StoreSectionField(parsed, sectionHeader::kVirtualSize), 0x1000);
     },
     "the store section's VirtualSize is 0x1000, expected 0x2100c8", true, true},
    {"SizeOfHeadersPastTheSections",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, OptionalFieldAt(parsed.pe, optional::kSizeOfHeaders), 0xFFFFFFFF);
     },
     "SizeOfHeaders 0xffffffff does not end between the section table", true, true},
    {"StoreSectionWritableAndExecutable",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, StoreSectionField(parsed, sectionHeader::kCharacteristics), 0xE0000040u);
     },
     "(.rsrc) is both writable and executable", true, true},
    {"ResourceDirectorySizeZero",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, DirectoryField(parsed, dataDirectory::kResource, dataDirectory::kSize), 0);
     },
     "the resource data directory's Size is 0x0, expected 0x2100c8", true, true},
    {"ResourceDirectorySizeAllOnes",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, DirectoryField(parsed, dataDirectory::kResource, dataDirectory::kSize),
              0xFFFFFFFF);
     },
     "the resource data directory's Size is 0xffffffff, expected 0x2100c8", true, true},
    {"EmptyCertificateTable",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image,
              DirectoryField(parsed, dataDirectory::kSecurity, dataDirectory::kVirtualAddress),
              static_cast<std::uint32_t>(image->size()));
       PutU32(image, DirectoryField(parsed, dataDirectory::kSecurity, dataDirectory::kSize), 0);
     },
     "the certificate table is not after the last section, or holds no signature", true, true},
    // Fields a loader follows beyond the store and the section table.
    {"StoreDataNotFileAligned",
     [](Bytes* image, const ParsedImage& parsed) {
       // The data moves with its pointer, so that only the alignment is wrong.
       const Section& store = StoreSection(parsed);
       image->insert(image->begin() + store.pointerToRawData, 0x10, 0);
       PutU32(image, StoreSectionField(parsed, sectionHeader::kPointerToRawData),
              store.pointerToRawData + 0x10);
     },
     "(.rsrc)'s raw data at 0x4010 is not on a FileAlignment (0x200) boundary", true, true},
    {"EntryPointOutsideEverySection",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, EntryPointAt(parsed), 0x7FFF0000);
     },
     "the entry point 0x7fff0000 lies in no executable section", true, true},
    {"EntryPointInANonExecutableSection",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, EntryPointAt(parsed), StoreSection(parsed).virtualAddress + 0x10);
     },
     "lies in no executable section", true, true},
    {"ImportDirectoryInTheStore",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, DirectoryField(parsed, dataDirectory::kImport, dataDirectory::kVirtualAddress),
              StoreSection(parsed).virtualAddress);
     },
     "bytes) lies in the store's section", true, true},
    {"BaseRelocationsPastTheImage",
     [](Bytes* image, const ParsedImage& parsed) {
       const int relocations = dataDirectory::kBaseRelocation;
       PutU32(image, DirectoryField(parsed, relocations, dataDirectory::kVirtualAddress),
              parsed.pe.sizeOfImage + 0x1000);
       PutU32(image, DirectoryField(parsed, relocations, dataDirectory::kSize), 0x100);
     },
     "the base-relocation directory (0x21d000, 256 bytes) lies outside the image, which ends at "
     "0x21c000",
     true, true},
    {"BytesAfterTheLastSection",
     [](Bytes* image, const ParsedImage&) { image->insert(image->end(), 512, 0xCC); },
     "512 bytes after the last section, from 0x214200, are not a certificate table", true, true},
};

class VerifyCatches : public PackTest, public ::testing::WithParamInterface<Breakage> {};

TEST_P(VerifyCatches, TheBrokenRuleAndExtractWritesNothing) {
  const std::string broken = Crafted("broken.exe", GetParam().breakIt, GetParam().fixCheckSum);
  const std::string prefix = "selfinst-pack: " + broken + ": ";
  const ToolResult verify = RunArgs({"verify", broken, "--payload", kPayload});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.out, "");
  if (GetParam().extractRefuses) {
    EXPECT_TRUE(EveryLineStartsWith(verify.err, prefix)) << verify.err;
  }
  EXPECT_NE(verify.err.find(GetParam().expectedProblem), std::string::npos) << verify.err;

  const ToolResult extract = RunArgs({"extract", broken, "-C", dir + "/out"});
  if (GetParam().extractRefuses) {
    const ToolResult alone = RunArgs({"verify", broken});
    EXPECT_EQ(alone.exitCode, 1) << "without --payload";
    EXPECT_NE(alone.err.find(GetParam().expectedProblem), std::string::npos) << alone.err;
    EXPECT_EQ(extract.exitCode, 1) << extract.err;
    EXPECT_TRUE(EveryLineStartsWith(extract.err, prefix)) << extract.err;
    EXPECT_NE(extract.err.find(GetParam().expectedProblem), std::string::npos) << extract.err;
    EXPECT_FALSE(fs::exists(dir + "/out"));
  } else {
    EXPECT_EQ(extract.exitCode, 0) << extract.err;
  }
}

TABLE_TEST_ROWS(Rules, VerifyCatches, kBreakages);

TEST_F(PackTest, ListCallsOnlyAWellFormedCertificateTableSigned) {
  Bytes image = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(image);
  PutU32(&image, DirectoryField(parsed, dataDirectory::kSecurity, dataDirectory::kVirtualAddress),
         static_cast<std::uint32_t>(image.size()));
  PutU32(&image, DirectoryField(parsed, dataDirectory::kSecurity, dataDirectory::kSize), 0);
  FixCheckSum(&image);
  WriteBytes(dir + "/empty-table.exe", image);
  const CommandResult run = RunPack({"list", dir + "/empty-table.exe"});
  EXPECT_EQ(run.exitCode, 1);  // as verify fails on it
  EXPECT_NE(run.output.find(": PE32, 11 items, malformed certificate table\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\nselfinst-pack: " + dir +
                            "/empty-table.exe: the certificate table is not after the last "
                            "section, or holds no signature"),
            std::string::npos)
      << run.output;
}

TEST_F(PackTest, AGoodImageStillVerifies) {
  Packed(kStub32, "good.exe");
  const ToolResult verified = RunArgs({"verify", dir + "/good.exe", "--payload", kPayload});
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_EQ(verified.out, dir + "/good.exe: 11 items match " + kPayload + ", byte for byte\n");
  EXPECT_EQ(verified.err, "");
}

}  // namespace
