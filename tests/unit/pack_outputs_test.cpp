// Where the writing commands put their outputs: never anywhere but the folder named, even
// when that folder is swapped for a link while they run; never over something that is not
// a regular file, nor over an input; a replaced file of the user's keeps its mode; and whatever
// ends them, the folder is left holding what it held before.
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "pack_process.h"
#include "pack_support.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The folder a command writes into is renamed, and a link to the user's folder put in its
// place, as the command gives its outputs their names.
struct Swap {
  const char* name;
  int atCall;  // which naming call the swap comes before
  std::vector<std::string> (*command)(const std::string& image, const std::string& out);
};

const Swap kSwaps[] = {
    {"ExtractBeforeItsFirstName", 1,
     [](const std::string& image, const std::string& out) {
       return std::vector<std::string>{"extract", image, "-C", out};
     }},
    {"ExtractBetweenItsNames", 2,
     [](const std::string& image, const std::string& out) {
       return std::vector<std::string>{"extract", image, "-C", out};
     }},
    {"Pack", 1,
     [](const std::string&, const std::string& out) {
       return std::vector<std::string>{"pack",   "--stub", kStub32,       "--payload",
                                       kPayload, "-o",     out + "/x.exe"};
     }},
};

class FolderSwapped : public PackTest, public ::testing::WithParamInterface<Swap> {};

TEST_P(FolderSwapped, LeavesTheFolderLinkedToUntouched) {
  ASSERT_TRUE(fs::exists(PlainPack())) << "the packer without sanitizers is built by ./build.sh";
  Packed(kStub32, "good.exe");
  const std::string out = dir + "/out";
  const std::string victim = dir + "/victim";
  fs::create_directory(out);
  fs::create_directory(victim);
  // The user's own files, some under the names the commands write.
  WriteBytes(victim + "/readme.txt", Text("the user's own notes\n"));
  WriteBytes(victim + "/letter.txt", Text("dear reader\n"));
  WriteBytes(victim + "/x.exe", Text("the user's program\n"));
  WriteBytes(victim + "/h", Text("the user's header\n"));
  const std::map<std::string, std::string> before = TreeOf(victim);
  ToolRun run;
  run.tool = PlainPack();
  run.args = GetParam().command(dir + "/good.exe", out);
  run.env = {"LD_PRELOAD=" SWAP_SHIM, "SWAP_FOLDER=" + out, "SWAP_TARGET=" + victim,
             "SWAP_AT_CALL=" + std::to_string(GetParam().atCall)};
  const ToolResult result = RunTool(run);
  ASSERT_TRUE(fs::is_directory(out + ".moved")) << "the folder was swapped: " << result.err;
  EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.exitCode << result.err;
  if (result.exitCode == 1) {
    EXPECT_EQ(CountLines(result.err), 1) << result.err;
    EXPECT_EQ(result.err.rfind("selfinst-pack: ", 0), 0u) << result.err;
  }
  EXPECT_EQ(TreeOf(victim), before) << result.err;
}

TABLE_TEST_ROWS(Outputs, FolderSwapped, kSwaps);

// A flush, a write-back or a close that fails (tests/unit/swap_shim.cpp makes it fail): for an
// output before it is named, nothing is named and a file at the name is kept; for the output once
// named, or for the folder after the names are given, the run fails too and every name is
// taken back: the folder holds what it held before.
struct FlushFault {
  const char* name;
  bool extracting;      // else pack over the user's out/setup.exe
  const char* call;     // fsync, sync_file_range or close
  const char* failing;  // "" for the folder, "/" for anything in it
  const char* problem;
  bool onceNamed = false;  // fails only once the names are given
};

const FlushFault kFlushFaults[] = {
    {"PackOutputFlush", false, "fsync", "/", "setup.exe: cannot flush to disk: "},
    {"PackOutputClose", false, "close", "/", "setup.exe: cannot close: "},
    {"PackFolderFlush", false, "fsync", "", "out: cannot flush the folder to disk: "},
    {"PackOutputCloseOnceNamed", false, "close", "/", "setup.exe: cannot close: ", true},
    {"PackOutputWriteBack", false, "sync_file_range", "/", "setup.exe: cannot flush to disk: "},
    {"ExtractOutputFlush", true, "fsync", "/", ": cannot flush to disk: "},
    {"ExtractOutputClose", true, "close", "/", ": cannot close: "},
    {"ExtractFolderFlush", true, "fsync", "", "new: cannot flush the folder to disk: "},
    {"ExtractOutputCloseOnceNamed", true, "close", "/", ": cannot close: ", true},
    {"ExtractOutputWriteBack", true, "sync_file_range", "/", ": cannot flush to disk: "},
};

class FlushFails : public PackTest, public ::testing::WithParamInterface<FlushFault> {};

TEST_P(FlushFails, FailsTheRunWithOneLine) {
  ASSERT_TRUE(fs::exists(PlainPack())) << "the packer without sanitizers is built by ./build.sh";
  Packed(kStub32, "good.exe");
  const std::string out = dir + "/out";
  fs::create_directory(out);
  WriteBytes(out + "/setup.exe", Text("the user's good program\n"));
  WriteBytes(out + "/letter.txt", Text("dear reader\n"));
  const std::map<std::string, std::string> before = TreeOf(out);
  ToolRun run;
  run.tool = PlainPack();
  run.args = GetParam().extracting
                 ? std::vector<std::string>{"extract", dir + "/good.exe", "-C", out + "/new"}
                 : std::vector<std::string>{"pack",   "--stub", kStub32,           "--payload",
                                            kPayload, "-o",     out + "/setup.exe"};
  const std::string folder = GetParam().extracting ? out + "/new" : out;
  run.env = {"LD_PRELOAD=" SWAP_SHIM, std::string("FAIL_CALL=") + GetParam().call,
             "FAIL_PATH=" + folder + GetParam().failing};
  if (GetParam().onceNamed) {
    run.env.push_back("FAIL_ONCE_NAMED=1");
  }
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("selfinst-pack: " + folder, 0), 0u) << result.err;
  EXPECT_NE(result.err.find(std::string(GetParam().problem) + "Input/output error\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(TreeOf(out), before);
}

TABLE_TEST_ROWS(Outputs, FlushFails, kFlushFaults);

// Something at the output's name that is not a regular file: the command refuses it and
// leaves it as it was.
struct NotAFile {
  const char* name;
  void (*make)(const std::string& path, const std::string& dir);
  fs::file_type type;
};

const NotAFile kNotFiles[] = {
    {"Fifo",
     [](const std::string& path, const std::string&) {
       ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
     },
     fs::file_type::fifo},
    {"CharacterDevice",
     [](const std::string& path, const std::string&) {
       ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
     },
     fs::file_type::character},
    {"SymbolicLink",
     [](const std::string& path, const std::string& dir) {
       WriteBytes(dir + "/elsewhere", Text("the file the link leads to\n"));
       fs::create_symlink(dir + "/elsewhere", path);
     },
     fs::file_type::symlink},
};

// The commands that replace one file, each a row of the tables below.
struct Replacing {
  const char* name;
};
const Replacing kReplacing[] = {{"Pack"}};

std::vector<std::string> CommandFor(const Replacing&, const std::string& output) {
  return {"pack", "--stub", kStub32, "--payload", kPayload, "-o", output};
}

TABLE_ROW_NAMES(NotAFile);
TABLE_ROW_NAMES(Replacing);

class OutputNamesANonFile : public PackTest,
                            public ::testing::WithParamInterface<std::tuple<NotAFile, Replacing>> {
};

TEST_P(OutputNamesANonFile, IsRefusedByPackAndKept) {
  const auto& [notAFile, command] = GetParam();
  const std::string output = dir + "/output";
  notAFile.make(output, dir);
  const std::map<std::string, std::string> before = TreeOf(dir);
  ToolRun run;
  run.args = CommandFor(command, output);
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("selfinst-pack: " + output + ": ", 0), 0u) << result.err;
  EXPECT_EQ(fs::symlink_status(output).type(), notAFile.type);
  EXPECT_EQ(TreeOf(dir), before);
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputNamesANonFile,
                         ::testing::Combine(::testing::ValuesIn(kNotFiles),
                                            ::testing::ValuesIn(kReplacing)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  std::get<1>(info.param).name;
                         });

// The stub named as the output, by its own path, another spelling of it, or a hard link;
// and an output in the payload folder or a folder inside it.
struct Forbidden {
  const char* name;
  const char* output;  // under dir
  bool inThePayload;   // else over the stub
};
const Forbidden kForbidden[] = {
    {"TheStubByItsOwnPath", "/stub.exe", false},
    {"TheStubByAnotherSpelling", "/./stub.exe", false},
    {"TheStubByAHardLink", "/alias.exe", false},
    {"InThePayloadFolder", "/payload/setup.exe", true},
    {"InAFolderOfThePayload", "/payload/sub/x.exe", true},
};

class OutputOverAnInput : public PackTest, public ::testing::WithParamInterface<Forbidden> {};

TEST_P(OutputOverAnInput, IsRefusedByPack) {
  const std::string stub = dir + "/stub.exe";
  fs::copy_file(kStub32, stub);
  fs::create_hard_link(stub, dir + "/alias.exe");
  const std::string payload = dir + "/payload";
  fs::copy(kPayload, payload);
  fs::create_directory(payload + "/sub");
  const std::map<std::string, std::string> before = TreeOf(dir);
  const std::string output = dir + GetParam().output;
  ToolRun run;
  run.args = {"pack", "--stub", stub, "--payload", payload, "-o", output};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  // In the payload, named by its folder, which is where the payload is.
  const std::string folder = output.substr(0, output.rfind('/'));
  EXPECT_EQ(result.err.rfind("selfinst-pack: " + (GetParam().inThePayload ? folder : output), 0),
            0u)
      << result.err;
  if (GetParam().inThePayload) {
    EXPECT_EQ(result.err, "selfinst-pack: " + folder +
                              ": is the payload folder or lies inside it, which is only read; "
                              "nothing is written\n");
  }
  EXPECT_TRUE(fs::equivalent(stub, dir + "/alias.exe"));
  EXPECT_EQ(TreeOf(dir), before);
}

TABLE_TEST_ROWS(Outputs, OutputOverAnInput, kForbidden);

class ReplacingCommand : public PackTest, public ::testing::WithParamInterface<Replacing> {};

TEST_P(ReplacingCommand, AReplacedOutputKeepsItsMode) {
  const std::string output = dir + "/output";
  WriteBytes(output, Text("an older build\n"));
  ASSERT_EQ(::chmod(output.c_str(), 0755), 0);
  ToolRun run;
  run.args = CommandFor(GetParam(), output);
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  struct stat status {};
  ASSERT_EQ(::stat(output.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_TRUE(ReadBytes(output) != Text("an older build\n"));
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"output"});
}

TEST_P(ReplacingCommand, AnOutputNameOf250CharactersIsWritten) {
  const Bytes expected = Packed(kStub32, "expected.exe");
  fs::create_directory(dir + "/long");
  const std::string name(250, 'n');
  ToolRun run;
  run.args = CommandFor(GetParam(), dir + "/long/" + name);
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(FolderEntries(dir + "/long"), std::vector<std::string>{name});
  EXPECT_TRUE(ReadBytes(dir + "/long/" + name) == expected);
}

INSTANTIATE_TEST_SUITE_P(Outputs, ReplacingCommand, ::testing::ValuesIn(kReplacing), RowName());

}  // namespace
