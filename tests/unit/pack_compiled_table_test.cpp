// The launcher's table of its files' sizes. The stub is built once for any payload, its
// table holding placeholders, and must stay so: a stub built with other placeholders
// differs from it in those bytes alone, as it does while no size is folded into code.
// Stubs and launchers whose table is crafted are held against the launcher's own reading
// of it: the image mapped as a loader maps it (each section's raw data up to its virtual
// size, zeros after) and the table walked from the launcher's own row to the first size of
// 0. Whenever pack or verify accepts, the launcher writes exactly the payload's files: pack
// writes their sizes into the stub's table.
#include <filesystem>

#include "pack_support.h"
#include "store/size_table.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

// Where the launcher's own table lies in a stub: found in the untouched stub, before any
// craft, and kept by pack, which adds its section after the others.
struct LauncherTable {
  std::size_t at = 0;  // file offset of its first row
  std::uint32_t rva = 0;
  std::size_t rowSize = 0;
  std::size_t pointerSize = 0;
  std::size_t section = 0;
};

LauncherTable TableOf(const Bytes& stub) {
  const PeImage pe = ParsePe(stub);
  SizeTable compiled;
  Report report;
  EXPECT_TRUE(FindSizeTable(AsImage(stub), pe, pe.sections.size(), &compiled, &report))
      << Lines(report);
  LauncherTable table;
  table.at = compiled.at;
  table.rowSize = compiled.rowSize;
  table.pointerSize = pe.is64 ? 8 : 4;
  for (std::size_t s = 0; s < pe.sections.size(); ++s) {
    const Section& section = pe.sections[s];
    if (compiled.at >= section.pointerToRawData &&
        compiled.at - section.pointerToRawData < section.sizeOfRawData) {
      table.section = s;
      table.rva = static_cast<std::uint32_t>(section.virtualAddress + compiled.at -
                                             section.pointerToRawData);
    }
  }
  return table;
}

std::uint64_t ImageBaseOf(const Bytes& image, const PeImage& pe) {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  const std::size_t at = OptionalFieldAt(pe, optional::kImageBase);
  EXPECT_TRUE(Get(image, at, Field{"", 0, 4}, &low));
  if (pe.is64) {
    EXPECT_TRUE(Get(image, at, Field{"", 4, 4}, &high));
  }
  return (std::uint64_t{high} << 32) | low;
}

// The image as a loader lays it out in memory.
Bytes Mapped(const Bytes& image, const PeImage& pe) {
  Bytes memory(pe.sizeOfImage, 0);
  std::copy_n(image.begin(), std::min<std::size_t>(pe.sizeOfHeaders, image.size()), memory.begin());
  for (const Section& section : pe.sections) {
    const std::uint32_t virtualSize =
        section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
    const std::size_t size = std::min(virtualSize, section.sizeOfRawData);
    EXPECT_LE(std::size_t{section.virtualAddress} + size, memory.size());
    std::copy_n(image.begin() + section.pointerToRawData, size,
                memory.begin() + section.virtualAddress);
  }
  return memory;
}

struct WrittenFile {
  std::string name;
  Bytes bytes;
};

// What the launcher writes from `image`: each row's file with the first `size` bytes of
// the item of its key, rows walked as LauncherMain walks payloadTable.
std::vector<WrittenFile> LauncherWrites(const Bytes& image, const LauncherTable& table) {
  const ParsedImage parsed = Parse(image);
  const Bytes memory = Mapped(image, parsed.pe);
  const std::uint64_t base = ImageBaseOf(image, parsed.pe);
  const auto word = [&memory](std::uint64_t rva, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width && rva + i < memory.size(); ++i) {
      value |= std::uint64_t{memory[rva + i]} << (8 * i);
    }
    return value;
  };
  const auto text = [&memory, base](std::uint64_t address) {
    std::string s;
    for (std::uint64_t rva = address - base; rva < memory.size() && memory[rva] != 0; ++rva) {
      s += static_cast<char>(memory[rva]);
    }
    return s;
  };
  std::vector<WrittenFile> written;
  for (std::uint64_t row = table.rva;; row += table.rowSize) {
    const auto size = static_cast<std::uint32_t>(word(row, 4));
    if (size == 0 || written.size() > Manifest().size()) {
      break;
    }
    const std::string name = text(word(row + table.pointerSize, table.pointerSize));
    const std::string key = text(word(row + 2 * table.pointerSize, table.pointerSize));
    // FindResourceA finds a key whatever its case.
    const StoredItem& item = parsed.store.items[ItemIndex(parsed.store, UpperCase(key))];
    EXPECT_GE(item.size, size) << "the launcher refuses an item shorter than its row";
    const auto from = image.begin() + static_cast<long>(item.fileOffset);
    written.push_back({name, Bytes(from, from + std::min(item.size, size))});
  }
  return written;
}

void ExpectPayloadWritten(const std::vector<WrittenFile>& written, const std::string& payload) {
  ASSERT_EQ(written.size(), Manifest().size());
  for (std::size_t row = 0; row < written.size(); ++row) {
    EXPECT_EQ(written[row].name, Manifest()[row].fileName);
    EXPECT_TRUE(written[row].bytes == ReadBytes(payload + "/" + written[row].name))
        << written[row].name << ": " << written[row].bytes.size() << " bytes written";
  }
}

void SetPointer(Bytes* image, std::size_t at, std::size_t width, std::uint64_t value) {
  PutU32(image, at, static_cast<std::uint32_t>(value));
  if (width == 8) {
    PutU32(image, at + 4, static_cast<std::uint32_t>(value >> 32));
  }
}

std::size_t RowAt(const LauncherTable& table, std::size_t row) {
  return table.at + row * table.rowSize;
}

constexpr std::uint32_t kOtherReadmeSize = 2905;  // the test payload's is 2805

// The stub, or an image packed from it with the row's payload (the table lies before the
// store), changed by `craft`: pack must accept or refuse the stub, verify the image.
struct CraftedTable {
  const char* name;
  void (*craft)(Bytes* image, const PeImage& pe, const LauncherTable& table);
  std::uint32_t readmeSize;  // of the payload's readme.txt; 0 leaves it as it is
  bool packed;               // pack accepts the crafted stub
  bool verified;             // verify accepts the crafted image
};
TABLE_ROW_NAMES(CraftedTable);

const CraftedTable kCraftedTables[] = {
    // The stub's placeholders, not the payload's sizes: pack writes those.
    {"AsBuilt", [](Bytes*, const PeImage&, const LauncherTable&) {}, 0, true, true},
    {"AsBuiltForAnotherReadme", [](Bytes*, const PeImage&, const LauncherTable&) {},
     kOtherReadmeSize, true, true},
    {"EndedByASizeOfZeroBesideOtherPointers",
     [](Bytes* image, const PeImage&, const LauncherTable& table) {
       const std::size_t end = RowAt(table, Manifest().size());
       SetPointer(image, end + table.pointerSize, table.pointerSize, 0x1234);
       SetPointer(image, end + 2 * table.pointerSize, table.pointerSize, 0x5678);
     },
     0, true, true},
    {"ASecondTableInTheUnmappedTailOfItsSection",
     [](Bytes* image, const PeImage& pe, const LauncherTable& table) {
       // A copy of the table in raw data past a section's virtual size, which pack leaves
       // as it is; the launcher's own one says another readme.txt size and ends in a row of
       // size 0 that is not all zeros, which pack writes as it writes any.
       const std::size_t length = (Manifest().size() + 1) * table.rowSize;
       const Section* tail = nullptr;
       for (const Section& section : pe.sections) {
         if (section.virtualSize != 0 &&
             std::uint64_t{section.sizeOfRawData} > section.virtualSize + length + 8 &&
             section.name != ".rsrc") {
           tail = &section;
           break;
         }
       }
       ASSERT_NE(tail, nullptr) << "no section with an unmapped tail to hide a table in";
       const std::size_t copy =
           AlignUp(tail->pointerToRawData + tail->virtualSize, table.pointerSize);
       std::copy_n(image->begin() + static_cast<long>(table.at), length,
                   image->begin() + static_cast<long>(copy));
       PutU32(image, table.at, static_cast<std::uint32_t>(fs::file_size(kPayload + "/readme.txt")));
       SetPointer(image, RowAt(table, Manifest().size()) + table.pointerSize, table.pointerSize, 1);
     },
     kOtherReadmeSize, true, false},
    {"ATableWhoseLastRowsLiePastTheVirtualSize",
     [](Bytes* image, const PeImage& pe, const LauncherTable& table) {
       // The loader maps zeros there: the launcher stops after row 5.
       const Section& section = pe.sections[table.section];
       PutU32(image, section.headerOffset + sectionHeader::kVirtualSize.offset,
              static_cast<std::uint32_t>(RowAt(table, 5) - section.pointerToRawData));
     },
     0, false, false},
    {"ASizeOfZeroInRowFive",
     [](Bytes* image, const PeImage&, const LauncherTable& table) {
       PutU32(image, RowAt(table, 5), 0);
     },
     0, false, false},
    {"ATwelfthRow",
     [](Bytes* image, const PeImage&, const LauncherTable& table) {
       PutU32(image, RowAt(table, Manifest().size()), 7);
     },
     0, false, false},
};

class CraftedSizesTable : public PackTest,
                          public ::testing::WithParamInterface<std::tuple<CraftedTable, bool>> {};

TEST_P(CraftedSizesTable, IsAcceptedOnlyWhereTheLauncherWritesThePayload) {
  const auto& [row, is64] = GetParam();
  const std::string payload = CopyPayload();
  if (row.readmeSize != 0) {
    fs::resize_file(payload + "/readme.txt", row.readmeSize);
  }
  const std::string honest = is64 ? kStub64 : kStub32;
  const LauncherTable table = TableOf(ReadBytes(honest));
  const std::string packed = dir + "/honest-packed.exe";
  ASSERT_EQ(RunPack({"pack", "--stub", honest, "--payload", payload, "-o", packed}).exitCode, 0);

  for (const auto& [what, path] : {std::pair<std::string, std::string>{"pack", honest},
                                   std::pair<std::string, std::string>{"verify", packed}}) {
    Bytes crafted = ReadBytes(path);
    row.craft(&crafted, ParsePe(crafted), table);
    FixCheckSum(&crafted);
    const std::string craftedPath = dir + "/crafted-" + what + ".exe";
    WriteBytes(craftedPath, crafted);
    const std::string image = what == "pack" ? dir + "/packed-" + what + ".exe" : craftedPath;
    const CommandResult run =
        what == "pack" ? RunPack({"pack", "--stub", craftedPath, "--payload", payload, "-o", image})
                       : RunPack({"verify", craftedPath, "--payload", payload});
    EXPECT_EQ(run.exitCode, (what == "pack" ? row.packed : row.verified) ? 0 : 1)
        << what << ": " << run.output;
    if (run.exitCode == 0) {
      ExpectPayloadWritten(LauncherWrites(ReadBytes(image), table), payload);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Crafted, CraftedSizesTable,
                         ::testing::Combine(::testing::ValuesIn(kCraftedTables), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "PE32Plus" : "PE32");
                         });

// The stub as built and one built with other placeholders, of one width.
struct BuiltStubs {
  const char* name;
  const std::string& stub;
  const std::string& otherPlaceholders;
};
const BuiltStubs kBuiltStubs[] = {
    {"PE32", kStub32, kOtherPlaceholderStub32},
    {"PE32Plus", kStub64, kOtherPlaceholderStub64},
};

class BuiltStub : public ::testing::TestWithParam<BuiltStubs> {};

// Were a placeholder folded into the launcher's code (link-time optimisation sees every
// file of the launcher), pack's sizes would not reach what that code does.
TEST_P(BuiltStub, DiffersFromOneWithOtherPlaceholdersOnlyInTheTablesSizes) {
  const Bytes stub = ReadBytes(GetParam().stub);
  const Bytes other = ReadBytes(GetParam().otherPlaceholders);
  ASSERT_EQ(stub.size(), other.size());
  const LauncherTable table = TableOf(stub);
  // The image's checksum, which covers every byte, differs as well.
  const std::size_t checkSumAt = OptionalFieldAt(ParsePe(stub), optional::kCheckSum);
  std::vector<std::size_t> differing;
  for (std::size_t at = 0; at < stub.size(); ++at) {
    if (stub[at] != other[at] && (at < checkSumAt || at >= checkSumAt + 4)) {
      differing.push_back(at);
    }
  }
  // Each placeholder differs in its low two bytes at least.
  std::vector<std::size_t> expected;
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    for (std::size_t i = 0; i < 2; ++i) {
      expected.push_back(RowAt(table, row) + i);
    }
  }
  EXPECT_EQ(differing, expected) << "bytes differ outside the table's sizes, or the table's "
                                    "sizes are not the placeholders";
}

TABLE_TEST_ROWS(Widths, BuiltStub, kBuiltStubs);

}  // namespace
