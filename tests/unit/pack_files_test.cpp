// What the packer reads from a payload folder and how it writes its outputs: outputs
// created exclusively, removed on failure and on interruption; one line naming the file
// per problem.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pack_process.h"
#include "pack_support.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

std::string Row(std::size_t row) { return Manifest()[row].fileName; }

// An unreadable payload file, refused by check too, which the build runs before compiling
// anything.
struct ReadingCommand {
  const char* name;
  std::vector<std::string> args;  // after the verb: "$DIR/" the test's folder
};

const ReadingCommand kReadingCommands[] = {
    {"Pack",
     {"pack", "--stub", "$DIR/stub.exe", "--payload", "$DIR/payload", "-o", "$DIR/out.exe"}},
    {"Check", {"check", "--payload", "$DIR/payload"}},
};

class UnreadablePayloadFile : public PackTest,
                              public ::testing::WithParamInterface<ReadingCommand> {};

TEST_P(UnreadablePayloadFile, IsRefusedNamingIt) {
  const std::string payload = CopyPayload();
  fs::copy_file(kStub32, dir + "/stub.exe");
  ASSERT_EQ(::chmod((payload + "/" + Row(6)).c_str(), 0), 0);
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(arg.rfind("$DIR/", 0) == 0 ? dir + arg.substr(4) : arg);
  }
  const CommandResult run = RunPack(args, true, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output,
            "selfinst-pack: " + payload + "/" + Row(6) + ": cannot read: Permission denied\n");
  EXPECT_FALSE(fs::exists(dir + "/out.exe"));
}

TABLE_TEST_ROWS(Commands, UnreadablePayloadFile, kReadingCommands);

// A payload folder with several problems: check says each in one run, as the user who runs
// it sees them, each file once and an unreadable folder once.
struct FolderProblems {
  const char* name;
  void (*make)(const std::string& payload);
  std::vector<std::pair<std::string, std::string>> lines;  // a path in the payload, problem
};

const std::string kUnreadable = "cannot read: Permission denied";

const FolderProblems kFolderProblems[] = {
    {"ACaseVariantBesideTheFile",
     [](const std::string& payload) { WriteBytes(payload + "/README.TXT", {1}); },
     {{"README.TXT",
       "differs only in case from readme.txt, which is carried: on Windows they would be one "
       "file"}}},
    {"TwoCaseVariants",
     [](const std::string& payload) {
       WriteBytes(payload + "/Setup.ins", {1});
       WriteBytes(payload + "/SETUP.EXE", {1});
     },
     {{"SETUP.EXE",
       "differs only in case from setup.exe, which is carried: on Windows they would be one "
       "file"},
      {"Setup.ins",
       "differs only in case from setup.ins, which is carried: on Windows they would be one "
       "file"}}},
    {"AnEmptyFileAndFourUnreadableOnes",
     [](const std::string& payload) {
       fs::resize_file(payload + "/" + Row(0), 0);
       for (const std::size_t row : {2, 4, 6, 8}) {
         fs::permissions(payload + "/" + Row(row), fs::perms::none);
       }
     },
     {{Row(0), "empty payload file (an empty item would end the manifest)"},
      {Row(2), kUnreadable},
      {Row(4), kUnreadable},
      {Row(6), kUnreadable},
      {Row(8), kUnreadable}}},
    {"ANameEndingInASpace",
     [](const std::string& payload) {
       fs::rename(payload + "/" + Row(0), payload + "/" + Row(0) + " ");
     },
     {{Row(0), "missing payload file (\"" + Row(0) + " \" is there: its name ends in a space)"}}},
    {"ANameEndingInASpaceBesideTheFile",
     [](const std::string& payload) { WriteBytes(payload + "/" + Row(6) + "  ", {1}); },
     {{Row(6) + "  ",
       "not a payload file: the launcher carries exactly these eleven files (its name ends in a "
       "space)"}}},
    {"AnUnreadableFolder",
     [](const std::string& payload) { fs::permissions(payload, fs::perms::none); },
     {{"", "cannot open the payload folder: Permission denied"}}},
    {"AFolderThatCannotBeEntered",
     [](const std::string& payload) {
       fs::permissions(payload,
                       fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
     },
     {{"", "cannot open the payload folder: Permission denied"}}},
};

class PayloadFolderProblems : public PackTest,
                              public ::testing::WithParamInterface<FolderProblems> {};

TEST_P(PayloadFolderProblems, AreAllSaidInOneRun) {
  const std::string payload = CopyPayload();
  GetParam().make(payload);
  const CommandResult run = RunPack({"check", "--payload", payload}, true, dir);
  fs::permissions(payload, fs::perms::all);
  std::string expected;
  for (const auto& [path, problem] : GetParam().lines) {
    expected +=
        "selfinst-pack: " + payload + (path.empty() ? "" : "/" + path) + ": " + problem + "\n";
  }
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, expected);
}

TABLE_TEST_ROWS(Folders, PayloadFolderProblems, kFolderProblems);

// A payload folder that is not there, or not a folder, is named itself.
struct NotAFolder {
  const char* name;
  const char* folder;  // in the test's folder, which holds a file "plain"
  const char* problem;
};

const NotAFolder kNotFolders[] = {
    {"Missing", "missing", "cannot open the payload folder: No such file or directory"},
    {"APlainFile", "plain", "not a folder"},
};

class CheckNames : public PackTest, public ::testing::WithParamInterface<NotAFolder> {};

TEST_P(CheckNames, APayloadFolderThatIsNotOne) {
  WriteBytes(dir + "/plain", {1});
  const std::string folder = dir + "/" + GetParam().folder;
  const CommandResult run = RunPack({"check", "--payload", folder});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, "selfinst-pack: " + folder + ": " + GetParam().problem + "\n");
}

TABLE_TEST_ROWS(Folders, CheckNames, kNotFolders);

// Where extract cannot write: one line naming the place and the reason, and nothing written.
struct UnwritableFolder {
  const char* name;
  std::string (*make)(const std::string& dir);  // returns the -C folder
  bool asNobody;
  std::string (*named)(const std::string& folder);
  const char* problem;
};

const UnwritableFolder kUnwritableFolders[] = {
    {"NotTheUsers",
     [](const std::string& dir) {
       fs::create_directory(dir + "/locked");
       fs::permissions(dir + "/locked", fs::perms::owner_all);  // not nobody's
       return dir + "/locked";
     },
     true, [](const std::string& folder) { return folder + "/" + Row(0); },
     "cannot create a file in its folder: Permission denied"},
    {"UnderAFile",
     [](const std::string& dir) {
       WriteBytes(dir + "/plain", {1});
       return dir + "/plain/sub";
     },
     false, [](const std::string& folder) { return folder; },
     "cannot create the folder: Not a directory"},
};

class ExtractCannotWrite : public PackTest,
                           public ::testing::WithParamInterface<UnwritableFolder> {};

TEST_P(ExtractCannotWrite, SaysSoOnceAndWritesNothing) {
  Packed(kStub32, "good.exe");
  const std::string folder = GetParam().make(dir);
  const CommandResult run =
      RunPack({"extract", dir + "/good.exe", "-C", folder}, GetParam().asNobody, dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output,
            "selfinst-pack: " + GetParam().named(folder) + ": " + GetParam().problem + "\n");
  EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{});
}

TABLE_TEST_ROWS(Folders, ExtractCannotWrite, kUnwritableFolders);

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

TABLE_TEST_ROWS(Extract, ExtractKeeps, kInTheWay);

// Two files in the way are both named in the one run, and both kept.
TEST_F(PackTest, ExtractNamesEveryFileInTheWay) {
  Packed(kStub32, "good.exe");
  const std::string out = dir + "/out";
  fs::create_directory(out);
  WriteBytes(out + "/" + Row(2), {'a'});
  WriteBytes(out + "/" + Row(7), {'b'});
  const CommandResult run = RunPack({"extract", dir + "/good.exe", "-C", out});
  EXPECT_EQ(run.exitCode, 1);
  const std::string kept = ": a file is already there; it is kept, and nothing is written\n";
  EXPECT_EQ(run.output, "selfinst-pack: " + out + "/" + Row(2) + kept + "selfinst-pack: " + out +
                            "/" + Row(7) + kept);
  EXPECT_EQ(FolderEntries(out), (std::vector<std::string>{Row(2), Row(7)}));
  EXPECT_EQ(ReadBytes(out + "/" + Row(2)), Bytes{'a'});
  EXPECT_EQ(ReadBytes(out + "/" + Row(7)), Bytes{'b'});
}

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
  run.args = {"pack", "--stub", kStub32, "--payload", payload, "-o", dir + "/out/setup.exe"};
  run.env = {"LD_PRELOAD=" SWAP_SHIM, "CHANGE_FILE=" + file,
             std::string("CHANGE_HOW=") + GetParam().how,
             "CHANGE_AT_READ=" + std::to_string(GetParam().atRead)};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(result.err, "selfinst-pack: " + file + ": changed while it was being read\n");
  EXPECT_EQ(FolderEntries(dir + "/out"), std::vector<std::string>{});
}

TABLE_TEST_ROWS(Changes, PayloadChanged, kPayloadChanges);

TEST_F(PackTest, PackInterruptedWhileWritingLeavesNoFile) {
  const std::string payload = CopyPayload();
  fs::resize_file(payload + "/" + Row(9), 400u << 20);  // sparse: a long write
  ToolRun run;
  run.args = {"pack", "--stub", kStub32, "--payload", payload, "-o", dir + "/out.exe"};
  const Interruption ended = InterruptWhileWriting(run, dir, SIGTERM);
  ASSERT_TRUE(ended.writing) << "the output was never open";
  EXPECT_TRUE(WIFSIGNALED(ended.status) && WTERMSIG(ended.status) == SIGTERM)
      << "ended by the signal";
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"payload"});
}

}  // namespace
