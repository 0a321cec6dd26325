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

namespace fs = std::filesystem;

namespace {

// Everything under `root` by relative path: a file's length and a hash of its bytes, a
// link's target, a folder as "name/", anything else by its type alone (a FIFO is never
// opened).
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    const fs::file_type type = entry.symlink_status().type();
    if (type == fs::file_type::symlink) {
      tree[relative] = "link to " + fs::read_symlink(entry.path()).string();
    } else if (type == fs::file_type::directory) {
      tree[relative] = "folder";
    } else if (type == fs::file_type::regular) {
      const Bytes bytes = ReadBytes(entry.path().string());
      tree[relative] =
          std::to_string(bytes.size()) + " bytes, hash " +
          std::to_string(std::hash<std::string>()(std::string(bytes.begin(), bytes.end())));
    } else {
      tree[relative] = "type " + std::to_string(static_cast<int>(type));
    }
  }
  return tree;
}

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
    {"Sizes", 1,
     [](const std::string&, const std::string& out) {
       return std::vector<std::string>{"sizes", "--payload", kPayload, "-o", out + "/h"};
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
  const std::map<std::string, std::string> before = Tree(victim);
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
  EXPECT_EQ(Tree(victim), before) << result.err;
}

void PrintTo(const Swap& s, std::ostream* out) { *out << s.name; }

INSTANTIATE_TEST_SUITE_P(Outputs, FolderSwapped, ::testing::ValuesIn(kSwaps),
                         [](const auto& info) { return std::string(info.param.name); });

// A flush or close that fails (tests/unit/swap_shim.cpp makes it fail): for an output
// before it is named, nothing is named and a file at the name is kept; for the folder after
// the names are given, the run fails too, and only a file that replaced another stays.
struct FlushFault {
  const char* name;
  bool extracting;   // else pack over the user's out/setup.exe
  const char* call;  // fsync or close
  bool ofTheFolder;  // else of the outputs
  const char* problem;
  bool newFileStays;
};

const FlushFault kFlushFaults[] = {
    {"PackOutputFlush", false, "fsync", false, "setup.exe: cannot flush to disk: ", false},
    {"PackOutputClose", false, "close", false, "setup.exe: cannot close: ", false},
    {"PackFolderFlush", false, "fsync", true, "out: cannot flush the folder to disk: ", true},
    {"ExtractOutputFlush", true, "fsync", false, ": cannot flush to disk: ", false},
    {"ExtractOutputClose", true, "close", false, ": cannot close: ", false},
    {"ExtractFolderFlush", true, "fsync", true, "new: cannot flush the folder to disk: ", false},
};

class FlushFails : public PackTest, public ::testing::WithParamInterface<FlushFault> {};

TEST_P(FlushFails, FailsTheRunWithOneLine) {
  ASSERT_TRUE(fs::exists(PlainPack())) << "the packer without sanitizers is built by ./build.sh";
  Packed(kStub32, "good.exe");
  const std::string out = dir + "/out";
  fs::create_directory(out);
  WriteBytes(out + "/setup.exe", Text("the user's good program\n"));
  WriteBytes(out + "/letter.txt", Text("dear reader\n"));
  const std::map<std::string, std::string> before = Tree(out);
  ToolRun run;
  run.tool = PlainPack();
  run.args = GetParam().extracting
                 ? std::vector<std::string>{"extract", dir + "/good.exe", "-C", out + "/new"}
                 : std::vector<std::string>{"pack",   "--stub", kStub32,           "--payload",
                                            kPayload, "-o",     out + "/setup.exe"};
  const std::string folder = GetParam().extracting ? out + "/new" : out;
  run.env = {"LD_PRELOAD=" SWAP_SHIM, std::string("FAIL_CALL=") + GetParam().call,
             "FAIL_PATH=" + folder + (GetParam().ofTheFolder ? "" : "/")};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("selfinst-pack: " + folder, 0), 0u) << result.err;
  EXPECT_NE(result.err.find(std::string(GetParam().problem) + "Input/output error\n"),
            std::string::npos)
      << result.err;
  if (GetParam().newFileStays) {
    EXPECT_TRUE(ReadBytes(out + "/setup.exe") == ReadBytes(dir + "/good.exe"));
    EXPECT_EQ(FolderEntries(out), (std::vector<std::string>{"letter.txt", "setup.exe"}));
  } else {
    EXPECT_EQ(Tree(out), before);
  }
}

void PrintTo(const FlushFault& f, std::ostream* out) { *out << f.name; }

INSTANTIATE_TEST_SUITE_P(Outputs, FlushFails, ::testing::ValuesIn(kFlushFaults),
                         [](const auto& info) { return std::string(info.param.name); });

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

class OutputNamesANonFile : public PackTest, public ::testing::WithParamInterface<NotAFile> {};

TEST_P(OutputNamesANonFile, IsRefusedByPackAndSizesAndKept) {
  const std::string output = dir + "/output";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"sizes", "--payload", kPayload, "-o", output},
        std::vector<std::string>{"pack", "--stub", kStub32, "--payload", kPayload, "-o", output}}) {
    GetParam().make(output, dir);
    const std::map<std::string, std::string> before = Tree(dir);
    ToolRun run;
    run.args = command;
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 1) << command[0] << ": " << result.err;
    EXPECT_EQ(CountLines(result.err), 1) << command[0] << ": " << result.err;
    EXPECT_EQ(result.err.rfind("selfinst-pack: " + output + ": ", 0), 0u)
        << command[0] << ": " << result.err;
    EXPECT_EQ(fs::symlink_status(output).type(), GetParam().type) << command[0];
    EXPECT_EQ(Tree(dir), before) << command[0];
    fs::remove_all(dir);
    fs::create_directory(dir);
  }
}

void PrintTo(const NotAFile& n, std::ostream* out) { *out << n.name; }

INSTANTIATE_TEST_SUITE_P(Outputs, OutputNamesANonFile, ::testing::ValuesIn(kNotFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// The stub named as the output, by its own path, another spelling of it, or a hard link.
TEST_F(PackTest, PackRefusesToWriteOverItsStub) {
  const std::string stub = dir + "/stub.exe";
  for (const std::string& output : {stub, dir + "/./stub.exe", dir + "/alias.exe"}) {
    fs::remove(stub);
    fs::remove(dir + "/alias.exe");
    fs::copy_file(kStub32, stub);
    fs::create_hard_link(stub, dir + "/alias.exe");
    ToolRun run;
    run.args = {"pack", "--stub", stub, "--payload", kPayload, "-o", output};
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 1) << output << ": " << result.err;
    EXPECT_EQ(CountLines(result.err), 1) << result.err;
    EXPECT_EQ(result.err.rfind("selfinst-pack: " + output + ": ", 0), 0u) << result.err;
    EXPECT_TRUE(ReadBytes(stub) == ReadBytes(kStub32)) << output;
    EXPECT_TRUE(fs::equivalent(stub, dir + "/alias.exe")) << output;
    EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"alias.exe", "stub.exe"})) << output;
  }
}

TEST_F(PackTest, PackRefusesToWriteIntoThePayloadFolder) {
  const std::string payload = CopyPayload();
  fs::create_directory(payload + "/sub");
  const std::map<std::string, std::string> before = Tree(payload);
  for (const std::string& output : {payload + "/setup.exe", payload + "/sub/x.exe"}) {
    ToolRun run;
    run.args = {"pack", "--stub", kStub32, "--payload", payload, "-o", output};
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 1) << output << ": " << result.err;
    EXPECT_EQ(CountLines(result.err), 1) << result.err;
    // Named by its folder, which is where the payload is.
    const std::string folder = output.substr(0, output.rfind('/'));
    EXPECT_EQ(result.err, "selfinst-pack: " + folder +
                              ": is the payload folder or lies inside it, which is only read; "
                              "nothing is written\n");
    EXPECT_EQ(Tree(payload), before) << output;
  }
}

TEST_F(PackTest, AReplacedOutputKeepsItsMode) {
  const std::string output = dir + "/output";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"sizes", "--payload", kPayload, "-o", output},
        std::vector<std::string>{"pack", "--stub", kStub32, "--payload", kPayload, "-o", output}}) {
    WriteBytes(output, Text("an older build\n"));
    ASSERT_EQ(::chmod(output.c_str(), 0755), 0);
    ToolRun run;
    run.args = command;
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 0) << command[0] << ": " << result.err;
    struct stat status {};
    ASSERT_EQ(::stat(output.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u) << command[0];
    EXPECT_TRUE(ReadBytes(output) != Text("an older build\n")) << command[0];
    EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"output"}) << command[0];
  }
}

TEST_F(PackTest, AnOutputNameOf250CharactersIsWritten) {
  const Bytes expected = Packed(kStub32, "expected.exe");
  fs::create_directory(dir + "/long");
  const std::string name(250, 'n');
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"sizes", "--payload", kPayload, "-o", dir + "/long/" + name},
        std::vector<std::string>{"pack", "--stub", kStub32, "--payload", kPayload, "-o",
                                 dir + "/long/" + name}}) {
    fs::remove(dir + "/long/" + name);
    ToolRun run;
    run.args = command;
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 0) << command[0] << ": " << result.err;
    EXPECT_EQ(FolderEntries(dir + "/long"), std::vector<std::string>{name}) << command[0];
  }
  EXPECT_TRUE(ReadBytes(dir + "/long/" + name) == expected);
}

// A payload with a large sparse data.2, and the image packed from it, shared by the
// interruption tests: writing them takes long enough to be interrupted.
class Interrupted : public PackTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {
 public:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/tq30-large-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    large = pattern;
    fs::copy(kPayload, large + "/payload");
    fs::resize_file(large + "/payload/data.2", 400u << 20);
    StubFor(kStub32, large + "/payload", large + "/stub.exe");
    const CommandResult packed = RunPack({"pack", "--stub", large + "/stub.exe", "--payload",
                                          large + "/payload", "-o", large + "/large.exe"});
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
  }
  static void TearDownTestSuite() { fs::remove_all(large); }

 protected:
  static std::string large;
};
std::string Interrupted::large;

TEST_P(Interrupted, WhileWritingLeavesTheFolderAsItWas) {
  const auto [signal, extracting] = GetParam();
  std::string folder;
  ToolRun run;
  if (extracting) {
    folder = dir + "/new/folder";
    run.args = {"extract", large + "/large.exe", "-C", folder};
  } else {
    folder = dir + "/out";
    fs::create_directory(folder);
    WriteBytes(folder + "/keep.txt", Text("kept\n"));
    run.args = {"pack",
                "--stub",
                large + "/stub.exe",
                "--payload",
                large + "/payload",
                "-o",
                folder + "/setup.exe"};
  }
  const std::map<std::string, std::string> before = Tree(dir);
  const pid_t child = StartTool(run);
  ASSERT_GT(child, 0);
  const bool writing = WaitForFileOpenIn(child, folder, 60);
  ::kill(child, signal);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(writing) << "the output was never open";
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the signal did not end it";
  EXPECT_EQ(Tree(dir), before);
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGUSR1:
      return "Usr1";
    case SIGALRM:
      return "Alrm";
    case SIGPIPE:
      return "Pipe";
    case SIGINT:
      return "Int";
    case SIGTERM:
      return "Term";
    default:
      return "Hup";
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         ::testing::Combine(::testing::Values(SIGUSR1, SIGALRM, SIGPIPE, SIGINT,
                                                              SIGTERM, SIGHUP),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return (std::get<1>(info.param) ? "Extract" : "Pack") +
                                  SignalName(std::get<0>(info.param));
                         });

// A failed extract removes every folder it made, those only named on the way (b in
// a/n/b/../c) included.
TEST_F(PackTest, FailedExtractRemovesTheFoldersOfADottedPath) {
  Packed(kStub32, "good.exe");
  ToolRun run;
  run.args = {"extract", dir + "/good.exe", "-C", dir + "/a/n/b/../c"};
  run.fileSizeLimit = 4096;  // readme.txt fits, data.1 does not
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("selfinst-pack: " + dir + "/a/n/b/../c", 0), 0u) << result.err;
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"good.exe"});
}

}  // namespace
