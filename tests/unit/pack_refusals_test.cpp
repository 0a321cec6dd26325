// Every refusal of pack and check is one line naming the file and the problem,
// with no output left behind. A stub no Windows loader accepts is refused at once, before
// allocating or writing anything, so that pack never writes an image verify would refuse.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "pack_process.h"
#include "pack_support.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

// Bad input to pack: prepares dir/payload and dir/stub.exe and returns the path the
// message must name.
struct BadInput {
  const char* name;
  std::string (*prepare)(PackTest* test, const std::string& dir);
  const char* problem;  // the whole line after the path, "$DIR" standing for the test's folder
};

std::string Row(std::size_t row) { return Manifest()[row].fileName; }

std::string CopyStub(const std::string& dir, const std::string& stub = kStub32) {
  fs::copy_file(stub, dir + "/stub.exe");
  return dir + "/stub.exe";
}

std::string StubChanged(const std::string& dir, void (*change)(Bytes*, const PeImage&)) {
  Bytes stub = ReadBytes(kStub64);
  const PeImage pe = ParsePe(stub);
  change(&stub, pe);
  WriteBytes(dir + "/stub.exe", stub);
  return dir + "/stub.exe";
}

// The stub's fields are found from its own headers, not through the packer's parser,
// which refuses some of these stubs; the checksum is fixed so that the change is the only fault.
std::string StubRaw(PackTest* test, const std::string& dir, void (*change)(Bytes*)) {
  test->CopyPayload();
  Bytes stub = ReadBytes(kStub32);
  change(&stub);
  FixCheckSum(&stub);
  WriteBytes(dir + "/stub.exe", stub);
  return dir + "/stub.exe";
}

std::size_t OptionalHeaderOf(const Bytes& stub) {
  std::uint32_t peHeader = 0;
  EXPECT_TRUE(Get(stub, 0, dos::kNewHeader, &peHeader));
  return std::size_t{peHeader} + coff::kSignatureSize + coff::kRecordSize;
}

void SetAlignments(Bytes* stub, std::uint32_t file, std::uint32_t section) {
  const std::size_t optionalHeader = OptionalHeaderOf(*stub);
  Put(stub, optionalHeader, optional::Of(optional::kSectionAlignment, false), section);
  Put(stub, optionalHeader, optional::Of(optional::kFileAlignment, false), file);
}

std::uint32_t FileAlignmentOf(const Bytes& stub) {
  std::uint32_t alignment = 0;
  EXPECT_TRUE(
      Get(stub, OptionalHeaderOf(stub), optional::Of(optional::kFileAlignment, false), &alignment));
  return alignment;
}

const BadInput kBadInputs[] = {
    {"PayloadFileNamedInAnotherCase",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       const std::string payload = t->CopyPayload();
       fs::rename(payload + "/" + Row(4), payload + "/Setup.exe");
       return payload + "/" + Row(4);
     },
     "missing payload file (Setup.exe is there: the names are case-sensitive)"},
    {"FileNoRowNames",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       const std::string payload = t->CopyPayload();
       WriteBytes(payload + "/notes.txt", Bytes{'n', '\n'});
       return payload + "/notes.txt";
     },
     "not a payload file: the launcher carries exactly these eleven files"},
    {"MissingPayloadFile",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       fs::remove(t->CopyPayload() + "/" + Row(8));
       return dir + "/payload/" + Row(8);
     },
     "missing payload file"},
    {"EmptyPayloadFile",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       WriteBytes(t->CopyPayload() + "/" + Row(5), {});
       return dir + "/payload/" + Row(5);
     },
     "empty payload file (an empty item would end the manifest)"},
    {"PayloadFileIsAFolder",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       const std::string file = t->CopyPayload() + "/" + Row(0);
       fs::remove(file);
       fs::create_directory(file);
       return file;
     },
     "a folder, not a regular file"},
    {"PayloadFileIsAFifo",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       const std::string file = t->CopyPayload() + "/" + Row(3);
       fs::remove(file);
       EXPECT_EQ(::mkfifo(file.c_str(), 0644), 0);
       return file;
     },
     "not a regular file"},
    {"PayloadFileIsADanglingLink",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       const std::string file = t->CopyPayload() + "/" + Row(6);
       fs::remove(file);
       fs::create_symlink(dir + "/nowhere", file);
       return file;
     },
     "a symbolic link to nothing, not a regular file"},
    {"StubWithoutASizeTable",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       Bytes stub = ReadBytes(kStub32);
       const std::string name = std::string("readme.txt") + '\0';
       *std::search(stub.begin(), stub.end(), name.begin(), name.end()) = 'R';
       WriteBytes(dir + "/stub.exe", stub);
       return dir + "/stub.exe";
     },
     "the image holds no table of its files' sizes: it is not a launcher of these sources"},
    {"StubIsNotAnImage",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       WriteBytes(dir + "/stub.exe", Bytes(4096, 'x'));
       return dir + "/stub.exe";
     },
     "not a PE image (no MZ header)"},
    {"StubIsTruncated",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       const Bytes stub = ReadBytes(kStub32);
       WriteBytes(dir + "/stub.exe", Bytes(stub.begin(), stub.begin() + 300));
       return dir + "/stub.exe";
     },
     "truncated image: the data directories are cut short"},
    {"StubIsAFolder",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       fs::create_directory(dir + "/stub.exe");
       return dir + "/stub.exe";
     },
     "a folder, not a regular file"},
    {"StubIsADevice",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       fs::create_symlink("/dev/zero", dir + "/stub.exe");
       return dir + "/stub.exe";
     },
     "not a regular file"},
    {"StubAlreadyHasAStore",
     [](PackTest* t, const std::string& dir) {
       t->Packed(kStub32, "stub.exe");
       t->CopyPayload();
       return dir + "/stub.exe";
     },
     "the image is a packed launcher, not a stub: pack the stub tq30-stub.exe (in dist/) "
     "instead"},
    // Larger than any stub may be, as launchers are: said as a launcher all the same.
    {"StubIsALauncherLargerThanAStubMayBe",
     [](PackTest* t, const std::string& dir) {
       const std::string payload = t->CopyPayload();
       fs::resize_file(payload + "/" + Row(9), 17u << 20);
       const CommandResult packed =
           RunPack({"pack", "--stub", kStub64, "--payload", payload, "-o", dir + "/stub.exe"});
       EXPECT_EQ(packed.exitCode, 0) << packed.output;
       return dir + "/stub.exe";
     },
     "the image is a packed launcher, not a stub: pack the stub tq30-stub-x64.exe (in dist/) "
     "instead"},
    {"StubHasNoRoomForAnotherSectionHeader",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       return StubChanged(dir, [](Bytes* stub, const PeImage& pe) {
         const auto tableEnd = static_cast<std::uint32_t>(
             pe.sectionTableOffset + pe.sections.size() * sectionHeader::kRecordSize);
         Put(stub, OptionalFieldAt(pe, optional::kSizeOfHeaders), Field{"", 0, 4}, tableEnd);
       });
     },
     "the image has no room in its header for another section header"},
    {"StubLastSectionNearTheTopOfTheAddressSpace",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       return StubChanged(dir, [](Bytes* stub, const PeImage& pe) {
         Put(stub, pe.sections.back().headerOffset, sectionHeader::kVirtualAddress, 0xFFFFF000u);
       });
     },
     "the image's sections end at 0x100000000, leaving no room for a store of 2162888 bytes"},
    {"StubHasDataAfterItsLastSection",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       Bytes stub = ReadBytes(kStub32);
       stub.resize(stub.size() + 100, 0xAB);
       WriteBytes(dir + "/stub.exe", stub);
       return dir + "/stub.exe";
     },
     "the image has data after its last section"},
    // Found by fuzzing: the headers' end decides how much of the stub is copied.
    {"StubHeadersEndPastTheFile",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       return StubChanged(dir, [](Bytes* stub, const PeImage& pe) {
         Put(stub, OptionalFieldAt(pe, optional::kSizeOfHeaders), Field{"", 0, 4}, 0x8A000000u);
       });
     },
     "the image's SizeOfHeaders 0x8a000000 lies past its end"},
    // Alignments and section flags no Windows loader accepts.
    {"AlignmentsOf256MiB",
     [](PackTest* t, const std::string& dir) {
       return StubRaw(t, dir, [](Bytes* stub) { SetAlignments(stub, 0x10000000, 0x10000000); });
     },
     "FileAlignment 0x10000000 and SectionAlignment 0x10000000 are not powers of two with 0x200 <= "
     "FileAlignment <= 0x10000 and FileAlignment <= SectionAlignment <= 0x100000"},
    {"AlignmentsOf2GiB",
     [](PackTest* t, const std::string& dir) {
       return StubRaw(t, dir, [](Bytes* stub) { SetAlignments(stub, 0x80000000, 0x80000000); });
     },
     "FileAlignment 0x80000000 and SectionAlignment 0x80000000 are not powers of two with 0x200 <= "
     "FileAlignment <= 0x10000 and FileAlignment <= SectionAlignment <= 0x100000"},
    {"FileAlignmentBelow512",
     [](PackTest* t, const std::string& dir) {
       return StubRaw(t, dir, [](Bytes* stub) { SetAlignments(stub, 0x100, 0x1000); });
     },
     "FileAlignment 0x100 and SectionAlignment 0x1000 are not powers of two with 0x200 <= "
     "FileAlignment <= 0x10000 and FileAlignment <= SectionAlignment <= 0x100000"},
    {"FileAlignmentAbove64KiB",
     [](PackTest* t, const std::string& dir) {
       return StubRaw(t, dir, [](Bytes* stub) { SetAlignments(stub, 0x20000, 0x20000); });
     },
     "FileAlignment 0x20000 and SectionAlignment 0x20000 are not powers of two with 0x200 <= "
     "FileAlignment <= 0x10000 and FileAlignment <= SectionAlignment <= 0x100000"},
    {"SectionAlignmentBelowFileAlignment",
     [](PackTest* t, const std::string& dir) {
       return StubRaw(t, dir, [](Bytes* stub) {
         SetAlignments(stub, FileAlignmentOf(*stub), FileAlignmentOf(*stub) / 2);
       });
     },
     "FileAlignment 0x200 and SectionAlignment 0x100 are not powers of two with 0x200 <= "
     "FileAlignment <= 0x10000 and FileAlignment <= SectionAlignment <= 0x100000"},
    {"TextWritableAndExecutable",
     [](PackTest* t, const std::string& dir) {
       return StubRaw(t, dir, [](Bytes* stub) {
         for (const Section& section : ParsePe(*stub).sections) {
           if (section.name == ".text") {
             Put(stub, section.headerOffset, sectionHeader::kCharacteristics,
                 section.characteristics | sectionHeader::kWritable);
           }
         }
       });
     },
     "section 0 (.text) is both writable and executable"},
};

class PackRefuses : public PackTest, public ::testing::WithParamInterface<BadInput> {};

std::string Replaced(std::string text, const std::string& dir) {
  for (std::size_t at = text.find("$DIR"); at != std::string::npos; at = text.find("$DIR", at)) {
    text.replace(at, 4, dir);
  }
  return text;
}

TEST_P(PackRefuses, WithOneLineNamingTheFileAndLeavesNoOutput) {
  const std::string named = GetParam().prepare(this, dir);
  const std::vector<std::string> before = FolderEntries(dir);
  ToolRun run;
  run.args = {"pack",           "--stub", dir + "/stub.exe", "--payload",
              dir + "/payload", "-o",     dir + "/out.exe"};
  run.stdoutToStderr = true;
  run.fileSizeLimit = 64u << 20;  // a packer that writes anyway stops soon
  run.timeoutSeconds = 60;        // one that hangs is ended, and fails the exit code
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(result.err,
            "selfinst-pack: " + named + ": " + Replaced(GetParam().problem, dir) + "\n");
  EXPECT_EQ(FolderEntries(dir), before);
}

// Every problem of a payload folder in one run, one line each, in the manifest's order
// and then the files no row names.
TEST_F(PackTest, CheckNamesEveryProblemOfThePayloadAtOnce) {
  const std::string payload = CopyPayload();
  fs::remove(payload + "/" + Row(2));
  fs::remove(payload + "/" + Row(7));
  WriteBytes(payload + "/" + Row(5), {});
  WriteBytes(payload + "/notes.txt", Bytes{'n', '\n'});
  const CommandResult run = RunPack({"check", "--payload", payload});
  EXPECT_EQ(run.exitCode, 1);
  const std::string line = "selfinst-pack: " + payload + "/";
  EXPECT_EQ(run.output,
            line + Row(2) + ": missing payload file\n" + line + Row(5) +
                ": empty payload file (an empty item would end the manifest)\n" + line + Row(7) +
                ": missing payload file\n" + line +
                "notes.txt: not a payload file: the launcher carries exactly these eleven files\n");
}

TABLE_TEST_ROWS(BadInputs, PackRefuses, kBadInputs);

}  // namespace
