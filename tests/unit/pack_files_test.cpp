// What the packer reads from a payload folder and how it writes its outputs: sizes
// refused before any reading, outputs created exclusively, removed on failure and on
// interruption; one line naming the file per problem.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pack_process.h"
#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

std::string Row(std::size_t row) { return Manifest()[row].fileName; }

// Payload folders too large for a 32-bit image, made of sparse files; the first file is
// unreadable to the unprivileged user who runs the tool, so any attempt to read before
// the sizes are checked would show.
struct Oversize {
  const char* name;
  std::vector<std::pair<std::size_t, std::uintmax_t>> rowSizes;
  bool namesTheFolder;  // else it names the last row resized
  const char* problem;
};

const Oversize kOversizes[] = {
    {"FileOfFiveGiB",
     {{9, 5ull << 30}},
     false,
     "5368709120 bytes, more than the 2130706432 bytes with which a 32-bit Windows launcher "
     "still starts"},
    {"PayloadOfTwoAndAHalfGiB",
     {{1, 1342177280}, {9, 1342177280}},
     true,
     "the payload holds 2684778669 bytes, more than the 2130706432 bytes"},
};

class OversizedPayload : public PackTest, public ::testing::WithParamInterface<Oversize> {};

TEST_P(OversizedPayload, IsRefusedByPackSizesAndCheckBeforeAnyReading) {
  const std::string payload = CopyPayload();
  ASSERT_EQ(::chmod((payload + "/" + Row(0)).c_str(), 0), 0);
  for (const auto& [row, size] : GetParam().rowSizes) {
    fs::resize_file(payload + "/" + Row(row), size);
  }
  const std::string named =
      GetParam().namesTheFolder ? payload : payload + "/" + Row(GetParam().rowSizes.back().first);
  const std::string stub = dir + "/stub.exe";
  fs::copy_file(kStub32, stub);
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"pack", "--stub", stub, "--payload", payload, "-o", dir + "/o"},
        std::vector<std::string>{"sizes", "--payload", payload, "-o", dir + "/o"},
        std::vector<std::string>{"check", "--payload", payload}}) {
    const CommandResult run = RunPack(command, true, dir);
    EXPECT_EQ(run.exitCode, 1) << command[0];
    EXPECT_EQ(run.output.rfind("selfinst-pack: " + named + ": " + GetParam().problem, 0), 0u)
        << command[0] << ": " << run.output;
    EXPECT_EQ(CountLines(run.output), 1) << run.output;
    EXPECT_FALSE(fs::exists(dir + "/o"));
  }
}

void PrintTo(const Oversize& o, std::ostream* out) { *out << o.name; }

// A PE32 that carries more than 32-bit Windows maps starts only large-address-aware: pack
// marks it so, and verify refuses one that is not. The image is written whole (about
// 1.8 GB on disk for a few seconds); the flag and the checksum are changed in place.
TEST_F(PackTest, APayloadAboveWhatWindowsMapsNeedsTheLargeAddressFlag) {
  const std::string payload = CopyPayload();
  std::uintmax_t others = 0;
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    others += row == 9 ? 0 : fs::file_size(payload + "/" + Row(row));
  }
  fs::resize_file(payload + "/" + Row(9), 1862270977 - others);  // sparse
  const std::string image = dir + "/large.exe";
  // Gigabytes through the sanitized build, on a machine running other tests.
  const auto run = [](const std::vector<std::string>& args) {
    ToolRun tool;
    tool.args = args;
    tool.stdoutToStderr = true;
    tool.timeoutSeconds = 300;
    return RunTool(tool);
  };
  const std::string stub = StubFor(kStub32, payload, dir + "/stub.exe");
  const ToolResult pack = run({"pack", "--stub", stub, "--payload", payload, "-o", image});
  ASSERT_EQ(pack.exitCode, 0) << pack.err;
  EXPECT_EQ(run({"verify", image}).exitCode, 0);

  // The flag sits in the first kilobyte; the checksum follows the change of that one word.
  Bytes head(1024);
  std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
  file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  ImageFile headers = ImageInMemory(image, head);
  headers.size = fs::file_size(image);  // the rest is past the head, as on disk
  PeImage pe;
  Report report;
  ASSERT_TRUE(ParsePeImage(headers, &pe, &report)) << Lines(report);
  ASSERT_NE(pe.characteristics & coff::kLargeAddressAware, 0);
  const std::size_t characteristics = pe.coffOffset + coff::kCharacteristics.offset;
  const std::size_t checkSumAt = OptionalFieldAt(pe, optional::kCheckSum);
  ASSERT_EQ(characteristics % 2, 0u) << "one 16-bit word of the sum";
  std::uint32_t checkSum = 0;
  ASSERT_TRUE(Get(head, checkSumAt, Field{"", 0, 4}, &checkSum));
  const std::uint64_t length = headers.size;
  std::uint32_t sum = static_cast<std::uint32_t>(checkSum - length);  // the folded word sum
  sum = sum > coff::kLargeAddressAware ? sum - coff::kLargeAddressAware
                                       : sum + 0xFFFF - coff::kLargeAddressAware;
  PutU16(&head, characteristics, pe.characteristics & ~coff::kLargeAddressAware);
  PutU32(&head, checkSumAt, static_cast<std::uint32_t>(sum + length));
  file.seekp(0);
  file.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  file.close();

  const ToolResult verify = run({"verify", image});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.err, "selfinst-pack: " + image +
                            ": the image is not large-address-aware, so its 1862270977 bytes "
                            "of payload leave it no room to start\n");
  fs::remove(image);
}

// Between what 32-bit Windows maps and the ceiling, the payload is taken, and one line says
// where its launcher runs; at the ceiling itself too, and a byte more is refused.
TEST_F(PackTest, APayloadOnlySixtyFourBitWindowsCanRunIsTakenWithAWarning) {
  const std::string payload = CopyPayload();
  std::uintmax_t others = 0;
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    others += row == 9 ? 0 : fs::file_size(payload + "/" + Row(row));
  }
  const CommandResult limits = RunPack({"limits"});
  ASSERT_EQ(limits.exitCode, 0);
  EXPECT_EQ(limits.output,
            "largest payload: 2130706432 bytes\n"
            "largest payload 32-bit Windows maps: 1862270976 bytes\n");
  const struct {
    std::uintmax_t total;
    int exitCode;
    std::string line;
  } kTotals[] = {
      {1862270976, 0, ""},
      {1862270977, 0,
       payload + ": warning: the payload holds 1862270977 bytes, more than the 1862270976 bytes "
                 "32-bit Windows can map for a program: the launcher runs on 64-bit Windows "
                 "only\n"},
      {2130706432, 0,
       payload + ": warning: the payload holds 2130706432 bytes, more than the 1862270976 bytes "
                 "32-bit Windows can map for a program: the launcher runs on 64-bit Windows "
                 "only\n"},
      {2130706433, 1,
       payload + ": the payload holds 2130706433 bytes, more than the 2130706432 bytes with "
                 "which a 32-bit Windows launcher still starts\n"},
  };
  for (const auto& total : kTotals) {
    fs::resize_file(payload + "/" + Row(9), total.total - others);  // sparse
    const CommandResult run = RunPack({"check", "--payload", payload});
    EXPECT_EQ(run.exitCode, total.exitCode) << total.total;
    EXPECT_EQ(run.output, total.line.empty() ? "" : "selfinst-pack: " + total.line) << total.total;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OversizedPayload, ::testing::ValuesIn(kOversizes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, SizesWritesTheHeaderAndLeavesAnUnchangedOneAlone) {
  const CommandResult first = RunPack({"sizes", "--payload", kPayload, "-o", dir + "/sizes.h"});
  ASSERT_EQ(first.exitCode, 0) << first.output;
  const Bytes header = ReadBytes(dir + "/sizes.h");
  const std::string expected =
      "// Generated by selfinst-pack sizes; do not edit.\n#pragma once\n"
      "#define PAYLOAD_SIZE_readme_txt 2805u\n#define PAYLOAD_SIZE_data_1 786379u\n"
      "#define PAYLOAD_SIZE__setup_dll 5968u\n#define PAYLOAD_SIZE__inst32i_ex_ 311998u\n"
      "#define PAYLOAD_SIZE_setup_exe 47616u\n#define PAYLOAD_SIZE_disk1_id 3u\n"
      "#define PAYLOAD_SIZE_setup_ins 12743u\n#define PAYLOAD_SIZE__setup_lib 42743u\n"
      "#define PAYLOAD_SIZE_setup_pkg 230u\n#define PAYLOAD_SIZE_data_2 951332u\n"
      "#define PAYLOAD_SIZE_disk2_id 3u\n";
  EXPECT_EQ(std::string(header.begin(), header.end()), expected);
  struct stat before {};
  struct stat after {};
  ASSERT_EQ(::stat((dir + "/sizes.h").c_str(), &before), 0);
  ASSERT_EQ(RunPack({"sizes", "--payload", kPayload, "-o", dir + "/sizes.h"}).exitCode, 0);
  ASSERT_EQ(::stat((dir + "/sizes.h").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "rewritten although unchanged";
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"sizes.h"});
}

// Refused by check too, which the build runs before compiling anything.
TEST_F(PackTest, UnreadablePayloadFileIsRefusedNamingIt) {
  const std::string payload = CopyPayload();
  fs::copy_file(kStub32, dir + "/stub.exe");
  ASSERT_EQ(::chmod((payload + "/" + Row(6)).c_str(), 0), 0);
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"pack", "--stub", dir + "/stub.exe", "--payload", payload, "-o",
                                 dir + "/out.exe"},
        std::vector<std::string>{"check", "--payload", payload}}) {
    const CommandResult run = RunPack(command, true, dir);
    EXPECT_EQ(run.exitCode, 1) << command[0];
    EXPECT_EQ(run.output,
              "selfinst-pack: " + payload + "/" + Row(6) + ": cannot read: Permission denied\n");
  }
  EXPECT_FALSE(fs::exists(dir + "/out.exe"));
}

// A payload folder that is not there, or not a folder, is named itself.
TEST_F(PackTest, CheckNamesAPayloadFolderThatIsNotOne) {
  WriteBytes(dir + "/plain", {1});
  const std::pair<std::string, std::string> cases[] = {
      {dir + "/missing", "cannot open the payload folder: No such file or directory"},
      {dir + "/plain", "not a folder"}};
  for (const auto& [folder, problem] : cases) {
    const CommandResult run = RunPack({"check", "--payload", folder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "selfinst-pack: " + folder + ": " + problem + "\n");
  }
}

// Where extract cannot write: one line naming the place and the reason.
TEST_F(PackTest, ExtractIntoAFolderItCannotWriteSaysSoOnce) {
  Packed(kStub32, "good.exe");
  fs::create_directory(dir + "/locked");
  fs::permissions(dir + "/locked", fs::perms::owner_all);  // not nobody's
  const CommandResult locked =
      RunPack({"extract", dir + "/good.exe", "-C", dir + "/locked"}, true, dir);
  EXPECT_EQ(locked.exitCode, 1);
  EXPECT_EQ(locked.output, "selfinst-pack: " + dir + "/locked/" + Row(0) +
                               ": cannot create a file in its folder: Permission denied\n");
  EXPECT_EQ(FolderEntries(dir + "/locked"), std::vector<std::string>{});

  WriteBytes(dir + "/plain", {1});
  const CommandResult underFile = RunPack({"extract", dir + "/good.exe", "-C", dir + "/plain/sub"});
  EXPECT_EQ(underFile.exitCode, 1);
  EXPECT_EQ(
      underFile.output.rfind("selfinst-pack: " + dir + "/plain/sub: cannot create the folder", 0),
      0u)
      << underFile.output;
  EXPECT_EQ(CountLines(underFile.output), 1);
}

// A write that fails past a file size limit: the files, the temporaries and the folders
// extract made for them are all gone, and the tool is not killed by the limit.
TEST_F(PackTest, ExtractFailingToWriteRemovesTheFoldersItMade) {
  Packed(kStub32, "good.exe");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;  // readme.txt fits, data.1 does not
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const CommandResult run = RunPack({"extract", dir + "/good.exe", "-C", dir + "/new/deeper/"});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, "selfinst-pack: " + dir + "/new/deeper//" + Row(1) +
                            ": cannot write: File too large\n");
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"good.exe"});
}

// Whatever already has one of the eleven names in the folder (the user's own file, a link,
// a folder, the image itself) is kept as it was, and nothing is written.
struct InTheWay {
  const char* name;
  std::size_t row;
  void (*plant)(const std::string& path, const std::string& dir);
  bool extractsThePlantedFile;  // the image extracted is the planted one
};

const InTheWay kInTheWay[] = {
    {"UsersOwnFile", 0,
     [](const std::string& path, const std::string&) { WriteBytes(path, {'k'}); }, false},
    {"LinkToAFileOutside", 0,
     [](const std::string& path, const std::string& dir) {
       WriteBytes(dir + "/victim", {'k'});
       fs::create_symlink(dir + "/victim", path);
     },
     false},
    {"FolderAtTheLastName", 10,
     [](const std::string& path, const std::string&) { fs::create_directory(path); }, false},
    {"TheImageItself", 4,
     [](const std::string& path, const std::string& dir) {
       fs::copy_file(dir + "/good.exe", path);
     },
     true},
};

class ExtractKeeps : public PackTest, public ::testing::WithParamInterface<InTheWay> {};

TEST_P(ExtractKeeps, WhatIsAlreadyThere) {
  Packed(kStub32, "good.exe");
  const std::string out = dir + "/out";
  fs::create_directory(out);
  const std::string path = out + "/" + Row(GetParam().row);
  GetParam().plant(path, dir);
  const Bytes before = fs::is_regular_file(path) ? ReadBytes(path) : Bytes{};
  const fs::file_type type = fs::symlink_status(path).type();
  const std::string image = GetParam().extractsThePlantedFile ? path : dir + "/good.exe";
  const CommandResult run = RunPack({"extract", image, "-C", out});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, "selfinst-pack: " + path +
                            ": a file is already there; it is kept, and nothing is written\n");
  EXPECT_EQ(FolderEntries(out), std::vector<std::string>{Row(GetParam().row)});
  EXPECT_EQ(fs::symlink_status(path).type(), type);
  if (fs::is_regular_file(path)) {
    EXPECT_EQ(ReadBytes(path), before);
  }
}

void PrintTo(const InTheWay& c, std::ostream* out) { *out << c.name; }

INSTANTIATE_TEST_SUITE_P(Extract, ExtractKeeps, ::testing::ValuesIn(kInTheWay),
                         [](const auto& info) { return std::string(info.param.name); });

// Interrupted while it writes its output, pack leaves nothing behind. The moment is told
// by the output's file being open in the folder, named or not yet.
// Another writer changes a payload file while pack reads it (tests/unit/swap_shim.cpp
// makes the change at the chosen read): the file is named, and nothing is written.
struct PayloadChange {
  const char* name;
  std::size_t row;
  const char* how;      // grow: a byte appended; rewrite: its first bytes, at the same size
  int atRead;           // the file's pread at which it changes
  std::uintmax_t size;  // 0: as it is; else made this long, read in more than one piece
};

const PayloadChange kPayloadChanges[] = {
    {"GrowsBeforeItIsRead", 1, "grow", 1, 0},
    {"RewrittenAtTheSameSizeBeforeItIsRead", 0, "rewrite", 1, 0},
    {"GrowsBetweenTwoPieces", 9, "grow", 2, 3u << 20},
    {"RewrittenAtTheSameSizeBetweenTwoPieces", 9, "rewrite", 2, 3u << 20},
};

class PayloadChanged : public PackTest, public ::testing::WithParamInterface<PayloadChange> {};

TEST_P(PayloadChanged, WhileReadFailsPackNamingTheFileAndWritesNothing) {
  ASSERT_TRUE(fs::exists(PlainPack())) << "the packer without sanitizers is built by ./build.sh";
  const std::string payload = CopyPayload();
  const std::string file = payload + "/" + Row(GetParam().row);
  if (GetParam().size != 0) {
    fs::resize_file(file, GetParam().size);
  }
  fs::create_directory(dir + "/out");
  ToolRun run;
  run.tool = PlainPack();
  run.args = {"pack",
              "--stub",
              StubFor(kStub32, payload, dir + "/stub.exe"),
              "--payload",
              payload,
              "-o",
              dir + "/out/setup.exe"};
  run.env = {"LD_PRELOAD=" SWAP_SHIM, "CHANGE_FILE=" + file,
             std::string("CHANGE_HOW=") + GetParam().how,
             "CHANGE_AT_READ=" + std::to_string(GetParam().atRead)};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(result.err, "selfinst-pack: " + file + ": changed while it was being read\n");
  EXPECT_EQ(FolderEntries(dir + "/out"), std::vector<std::string>{});
}

void PrintTo(const PayloadChange& c, std::ostream* out) { *out << c.name; }

INSTANTIATE_TEST_SUITE_P(Changes, PayloadChanged, ::testing::ValuesIn(kPayloadChanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, PackInterruptedWhileWritingLeavesNoFile) {
  const std::string payload = CopyPayload();
  fs::resize_file(payload + "/" + Row(9), 400u << 20);  // sparse: a long write
  ToolRun run;
  run.args = {"pack",          "--stub", StubFor(kStub32, payload, dir + "/stub.exe"),
              "--payload",     payload,  "-o",
              dir + "/out.exe"};
  const pid_t child = StartTool(run);
  ASSERT_GT(child, 0);
  const bool writing = WaitForFileOpenIn(child, dir, 60);
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(writing) << "the output was never open";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "ended by the signal";
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"payload", "stub.exe"}));
}

}  // namespace
