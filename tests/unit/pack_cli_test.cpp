// The command line: usage errors name what is wrong, and every refusal of pack, check
// and sizes is one line naming the file and the problem, with no output left behind.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

struct Usage {
  const char* name;
  std::vector<std::string> args;  // "DIR" stands for the test's folder
  int exitCode;
  const char* expected;  // a part of the output
};

const Usage kUsages[] = {
    {"HelpPrintsUsage", {"--help"}, 0, "usage: selfinst-pack pack --stub LINKED.exe"},
    {"HelpAfterAVerb", {"extract", "--help"}, 0, "       selfinst-pack extract IMAGE.exe -C DIR"},
    {"NoVerb", {}, 2, "selfinst-pack: no command given (see selfinst-pack --help)"},
    {"UnknownVerb", {"unpack", "DIR/a.exe"}, 2, "selfinst-pack: unknown command unpack"},
    {"UnknownOption", {"list", "DIR/a.exe", "--verbose"}, 2, "unknown option --verbose"},
    {"EmptyFolderForExtract",
     {"extract", "DIR/missing.exe", "-C", ""},
     2,
     "-C needs a non-empty value"},
    {"EmptyPayloadForVerify",
     {"verify", "DIR/missing.exe", "--payload", ""},
     2,
     "--payload needs a non-empty value"},
    {"OptionWithoutValue", {"extract", "DIR/missing.exe", "-C"}, 2, "-C needs a value"},
    {"RepeatedOption",
     {"verify", "DIR/missing.exe", "--payload", "DIR", "--payload", "DIR"},
     2,
     "--payload is given twice"},
    {"OptionOfAnotherVerb",
     {"list", "DIR/missing.exe", "-C", "DIR"},
     2,
     "-C does not apply to list"},
    {"DepfileForVerify",
     {"verify", "DIR/missing.exe", "--depfile", "DIR/d"},
     2,
     "--depfile does not apply to verify"},
    {"EmptyDepfile",
     {"pack", "--stub", "DIR/a", "--payload", "DIR", "-o", "DIR/b", "--depfile", ""},
     2,
     "--depfile needs a non-empty value"},
    {"OutputForVerify",
     {"verify", "DIR/missing.exe", "-o", "DIR/x"},
     2,
     "-o does not apply to verify"},
    {"MissingOption", {"pack", "--stub", "DIR/a", "-o", "DIR/b"}, 2, "pack needs --payload"},
    {"TwoImages", {"list", "DIR/a.exe", "DIR/b.exe"}, 2, "list takes one image, not 2"},
    {"ImageForPack",
     {"pack", "DIR/a.exe", "--stub", "a", "--payload", "b", "-o", "c"},
     2,
     "pack takes no image, not 1"},
    // A help request is an option's name, never an option's value.
    {"HelpAsAnOptionsValue",
     {"extract", "DIR/missing.exe", "-C", "--help"},
     1,
     "/missing.exe: cannot open: No such file or directory"},
    {"AfterTheEndOfOptions", {"list", "--", "DIR/-odd.exe"}, 1, "/-odd.exe: cannot open"},
    {"LineBreakInAPath", {"list", "DIR/a\nb\x1b.exe"}, 1, "/a\\u000ab\\u001b.exe: cannot open"},
    {"C1ControlInAPath",
     {"list",
      "DIR/a\xc2\x9b"
      "31mb.exe"},
     1,
     "/a\\u009b31mb.exe: cannot open"},
    {"ByteNotUtf8InAPath", {"list", "DIR/a\xff\x9b.exe"}, 1, "/a\\xff\\x9b.exe: cannot open"},
    {"OverlongUtf8InAPath", {"list", "DIR/a\xc0\x8a.exe"}, 1, "/a\\xc0\\x8a.exe: cannot open"},
    {"Utf8LettersInAPathStay",
     {"list", "DIR/\xc3\xa9t\xc3\xa9.exe"},
     1,
     "/\xc3\xa9t\xc3\xa9.exe: cannot open"},
};

class CommandLine : public PackTest, public ::testing::WithParamInterface<Usage> {};

TEST_P(CommandLine, SaysWhatIsWrongOnOneLine) {
  std::vector<std::string> args;
  for (std::string arg : GetParam().args) {
    if (arg.rfind("DIR", 0) == 0) {
      arg.replace(0, 3, dir);
    }
    args.push_back(arg);
  }
  const CommandResult run = RunPack(args);
  EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.output;
  EXPECT_NE(run.output.find(GetParam().expected), std::string::npos) << run.output;
  if (GetParam().exitCode != 0) {
    EXPECT_EQ(CountLines(run.output), 1) << run.output;
  }
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{}) << "nothing written";
}

void PrintTo(const Usage& u, std::ostream* out) { *out << u.name; }

INSTANTIATE_TEST_SUITE_P(Usages, CommandLine, ::testing::ValuesIn(kUsages),
                         [](const auto& info) { return std::string(info.param.name); });

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

// pack --depfile names the image and every payload file as make reads a rule.
struct Depfile {
  const char* name;
  const char* folder;   // the payload folder's name in the test's folder
  const char* escaped;  // as the depfile spells it
};

const Depfile kDepfiles[] = {
    {"PlainName", "payload", "payload"},
    {"SpaceDollarAndHash", "pay $x #1", "pay\\ $$x\\ \\#1"},
    {"ColonAndBackslash", "a:b\\c", "a\\:b\\\\c"},
};

class PackDepfile : public PackTest, public ::testing::WithParamInterface<Depfile> {};

TEST_P(PackDepfile, NamesTheImageAndEveryPayloadFileEscaped) {
  const std::string payload = CopyPayload(GetParam().folder);
  const CommandResult run = RunPack({"pack", "--stub", kStub32, "--payload", payload, "-o",
                                     dir + "/out.exe", "--depfile", dir + "/out.d"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string expected = dir + "/out.exe:";
  for (std::size_t row = 0; row < 11; ++row) {
    expected += " " + dir + "/" + GetParam().escaped + "/" + Row(row);
  }
  const Bytes written = ReadBytes(dir + "/out.d");
  EXPECT_EQ(std::string(written.begin(), written.end()), expected + "\n");
}

void PrintTo(const Depfile& d, std::ostream* out) { *out << d.name; }

INSTANTIATE_TEST_SUITE_P(Paths, PackDepfile, ::testing::ValuesIn(kDepfiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
