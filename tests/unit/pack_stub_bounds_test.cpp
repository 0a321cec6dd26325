// Stubs whose alignments or section flags no Windows loader accepts: pack refuses them
// at once, with one line naming the stub, before allocating or writing anything, so that
// it never writes an image that verify would refuse.
#include <filesystem>

#include "pack_process.h"
#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

// The stub's fields are found from its own headers, not through the packer's parser,
// which refuses some of these stubs.
std::size_t OptionalHeaderOf(const Bytes& stub) {
  const std::size_t peHeader =
      stub[0x3C] | (stub[0x3D] << 8) | (stub[0x3E] << 16) | (std::size_t{stub[0x3F]} << 24);
  return peHeader + 4 + 20;
}

void SetAlignments(Bytes* stub, std::uint32_t file, std::uint32_t section) {
  const std::size_t optionalHeader = OptionalHeaderOf(*stub);
  PutU32(stub, optionalHeader + optional::kSectionAlignment.pe32, section);
  PutU32(stub, optionalHeader + optional::kFileAlignment.pe32, file);
}

std::uint32_t FileAlignmentOf(const Bytes& stub) {
  const std::size_t at = OptionalHeaderOf(stub) + optional::kFileAlignment.pe32;
  return stub[at] | (stub[at + 1] << 8) | (stub[at + 2] << 16) |
         (static_cast<std::uint32_t>(stub[at + 3]) << 24);
}

struct BadStub {
  const char* name;
  void (*change)(Bytes* stub);
};

const BadStub kBadStubs[] = {
    {"AlignmentsOf256MiB", [](Bytes* stub) { SetAlignments(stub, 0x10000000, 0x10000000); }},
    {"AlignmentsOf2GiB", [](Bytes* stub) { SetAlignments(stub, 0x80000000, 0x80000000); }},
    {"FileAlignmentBelow512", [](Bytes* stub) { SetAlignments(stub, 0x100, 0x1000); }},
    {"FileAlignmentAbove64KiB", [](Bytes* stub) { SetAlignments(stub, 0x20000, 0x20000); }},
    {"SectionAlignmentBelowFileAlignment",
     [](Bytes* stub) { SetAlignments(stub, FileAlignmentOf(*stub), FileAlignmentOf(*stub) / 2); }},
    {"TextWritableAndExecutable",
     [](Bytes* stub) {
       const PeImage pe = ParsePe(*stub);
       for (const Section& section : pe.sections) {
         if (section.name == ".text") {
           PutU32(stub, section.headerOffset + sectionHeader::kCharacteristics.offset,
                  section.characteristics | 0x80000000u);
         }
       }
     }},
};

class PackRefusesStub : public PackTest, public ::testing::WithParamInterface<BadStub> {};

TEST_P(PackRefusesStub, AtOnceAndWritesNothing) {
  Bytes stub = ReadBytes(kStub32);
  GetParam().change(&stub);
  FixCheckSum(&stub);
  const std::string path = dir + "/stub.exe";
  WriteBytes(path, stub);
  ToolRun run;
  run.args = {"pack", "--stub", path, "--payload", kPayload, "-o", dir + "/out.exe"};
  run.fileSizeLimit = 64u << 20;  // a packer that writes anyway stops soon
  run.timeoutSeconds = 5;         // refusing takes milliseconds
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("selfinst-pack: " + path + ": ", 0), 0u) << result.err;
  EXPECT_LT(result.seconds, 2.0);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"stub.exe"});
}

void PrintTo(const BadStub& b, std::ostream* out) { *out << b.name; }

INSTANTIATE_TEST_SUITE_P(Stubs, PackRefusesStub, ::testing::ValuesIn(kBadStubs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
