// Every refusal of pack, check and sizes is one line naming the file and the problem,
// with no output left behind.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

// Bad input to pack: prepares dir/payload and dir/stub.exe and returns the path the
// message must name.
struct BadInput {
  const char* name;
  std::string (*prepare)(PackTest* test, const std::string& dir);
  const char* problem;
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
     "empty payload file"},
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
     "a symbolic link to nothing"},
    // The stub was built for the demo payload; its readme.txt has grown since.
    {"PayloadFileGrownSinceTheStubWasBuilt",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir);
       const std::string file = t->CopyPayload() + "/" + Row(0);
       fs::resize_file(file, 2810);
       return file;
     },
     "holds 2810 bytes where the stub was compiled for 2805; rebuild the stub "},
    {"PayloadFileShrunkSinceTheStubWasBuilt",
     [](PackTest* t, const std::string& dir) {
       CopyStub(dir, kStub64);
       const std::string file = t->CopyPayload() + "/" + Row(9);
       fs::resize_file(file, 951331);
       return file;
     },
     "holds 951331 bytes where the stub was compiled for 951332; rebuild the stub "},
    {"StubWithoutCompiledSizes",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       Bytes stub = ReadBytes(kStub32);
       const std::string name = std::string("readme.txt") + '\0';
       *std::search(stub.begin(), stub.end(), name.begin(), name.end()) = 'R';
       WriteBytes(dir + "/stub.exe", stub);
       return dir + "/stub.exe";
     },
     "the image holds no table of the file sizes its launcher was compiled with"},
    {"StubIsNotAnImage",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       WriteBytes(dir + "/stub.exe", Bytes(4096, 'x'));
       return dir + "/stub.exe";
     },
     "not a PE image"},
    {"StubIsTruncated",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       const Bytes stub = ReadBytes(kStub32);
       WriteBytes(dir + "/stub.exe", Bytes(stub.begin(), stub.begin() + 300));
       return dir + "/stub.exe";
     },
     "truncated image"},
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
     "already has a resource section"},
    {"StubHasNoRoomForAnotherSectionHeader",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       return StubChanged(dir, [](Bytes* stub, const PeImage& pe) {
         const auto tableEnd =
             static_cast<std::uint32_t>(pe.sectionTableOffset + pe.sections.size() * 40);
         Put(stub, OptionalFieldAt(pe, optional::kSizeOfHeaders), Field{"", 0, 4}, tableEnd);
       });
     },
     "no room in its header for another section header"},
    {"StubLastSectionNearTheTopOfTheAddressSpace",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       return StubChanged(dir, [](Bytes* stub, const PeImage& pe) {
         Put(stub, pe.sections.back().headerOffset + 12, Field{"", 0, 4}, 0xFFFFF000u);
       });
     },
     "leaving no room for a store of 2162888 bytes"},
    {"StubHasDataAfterItsLastSection",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       Bytes stub = ReadBytes(kStub32);
       stub.resize(stub.size() + 100, 0xAB);
       WriteBytes(dir + "/stub.exe", stub);
       return dir + "/stub.exe";
     },
     "data after its last section"},
    // Found by fuzzing: the headers' end decides how much of the stub is copied.
    {"StubHeadersEndPastTheFile",
     [](PackTest* t, const std::string& dir) {
       t->CopyPayload();
       return StubChanged(dir, [](Bytes* stub, const PeImage& pe) {
         Put(stub, OptionalFieldAt(pe, optional::kSizeOfHeaders), Field{"", 0, 4}, 0x8A000000u);
       });
     },
     "the image's SizeOfHeaders 0x8a000000 lies past its end"},
};

class PackRefuses : public PackTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(PackRefuses, WithOneLineNamingTheFileAndLeavesNoOutput) {
  const std::string named = GetParam().prepare(this, dir);
  const CommandResult run = RunPack(
      {"pack", "--stub", dir + "/stub.exe", "--payload", dir + "/payload", "-o", dir + "/out.exe"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output.rfind("selfinst-pack: " + named + ": ", 0), 0u) << run.output;
  EXPECT_NE(run.output.find(GetParam().problem), std::string::npos) << run.output;
  EXPECT_EQ(CountLines(run.output), 1) << run.output;
  for (const std::string& name : FolderEntries(dir)) {
    EXPECT_EQ(name.find("out.exe"), std::string::npos) << name;
  }
}

void PrintTo(const BadInput& b, std::ostream* out) { *out << b.name; }

// A stub built for another payload: each file of another size is named on a line of its
// own, before anything is written.
TEST_F(PackTest, EveryFileOfAnotherSizeThanTheStubWasBuiltForIsNamed) {
  const std::string payload = CopyPayload();
  fs::resize_file(payload + "/" + Row(1), 786380);
  fs::resize_file(payload + "/" + Row(6), 12000);
  const CommandResult run =
      RunPack({"pack", "--stub", kStub64, "--payload", payload, "-o", dir + "/out.exe"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output,
            "selfinst-pack: " + payload + "/" + Row(1) +
                ": holds 786380 bytes where the stub was compiled for 786379; rebuild the stub " +
                kStub64 + " for this payload\n" + "selfinst-pack: " + payload + "/" + Row(6) +
                ": holds 12000 bytes where the stub was compiled for 12743; rebuild the stub " +
                kStub64 + " for this payload\n");
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"payload"});
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

INSTANTIATE_TEST_SUITE_P(BadInputs, PackRefuses, ::testing::ValuesIn(kBadInputs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
