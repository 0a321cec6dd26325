// Every failure ends in one line on stderr and exit code 1, never in an abort: a folder
// the user cannot reach, a path that cannot be resolved, a stdout that cannot be written.
// A path is printed with its control characters escaped, on stdout as on stderr.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "pack_process.h"
#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

// A -C path extract cannot make: returns it, with `tail` inside its last steps.
struct UnusableFolder {
  const char* name;
  std::string (*make)(const std::string& dir, const std::string& tail);
  bool asNobody;
};

const UnusableFolder kUnusableFolders[] = {
    {"ThroughAFolderItCannotSearch",
     [](const std::string& dir, const std::string& tail) {
       fs::create_directory(dir + "/locked");
       fs::permissions(dir + "/locked", fs::perms::owner_all);  // not nobody's
       return dir + "/locked/sub" + tail + "/x";
     },
     true},
    {"ThroughALinkLoop",
     [](const std::string& dir, const std::string& tail) {
       fs::create_symlink("b", dir + "/a");
       fs::create_symlink("a", dir + "/b");
       return dir + "/a/x" + tail;
     },
     false},
};

class ExtractInto : public PackTest, public ::testing::WithParamInterface<UnusableFolder> {};

TEST_P(ExtractInto, AnUnusableFolderFailsWithOneLine) {
  Packed(kStub32, "good.exe");
  for (const std::string& tail : {std::string(), std::string("\x1b[31m\nz")}) {
    const std::string folder = GetParam().make(dir, tail);
    ToolRun run;
    run.args = {"extract", dir + "/good.exe", "-C", folder};
    run.asNobody = GetParam().asNobody;
    run.toolCopyDir = dir;
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 1) << result.signal << ": " << result.err;
    EXPECT_EQ(CountLines(result.err), 1) << result.err;
    EXPECT_EQ(result.err.rfind("selfinst-pack: " + dir + "/", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << result.err;
    if (!tail.empty()) {
      EXPECT_NE(result.err.find("\\u001b[31m\\u000az"), std::string::npos) << result.err;
    }
    // Only what the case made is left: the image, the tool's copy and the case's own.
    for (const std::string& name : FolderEntries(dir)) {
      EXPECT_TRUE(name == "good.exe" || name == "selfinst-pack" || name == "locked" ||
                  name == "a" || name == "b")
          << name;
    }
    fs::remove_all(dir + "/locked");
    fs::remove(dir + "/a");
    fs::remove(dir + "/b");
  }
}

void PrintTo(const UnusableFolder& u, std::ostream* out) { *out << u.name; }

// A folder longer than a path may be is still one the file system allows: extract makes it
// one step at a time and writes the files there.
TEST_F(PackTest, ExtractIntoAFolderLongerThanPathMaxWorks) {
  Packed(kStub32, "good.exe");
  const std::string step(200, 'p');
  std::string folder = dir;
  while (folder.size() <= 5000) {
    folder += "/" + step;
  }
  ToolRun run;
  run.args = {"extract", dir + "/good.exe", "-C", folder};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t at = dir.size(); fd >= 0 && at < folder.size(); at += step.size() + 1) {
    const int next = ::openat(fd, step.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0) << "the folder was made";
  for (const ManifestFile& file : Manifest()) {
    struct stat status {};
    EXPECT_EQ(::fstatat(fd, file.fileName, &status, 0), 0) << file.fileName;
    EXPECT_EQ(static_cast<std::uintmax_t>(status.st_size),
              fs::file_size(kPayload + "/" + file.fileName))
        << file.fileName;
  }
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Folders, ExtractInto, ::testing::ValuesIn(kUnusableFolders),
                         [](const auto& info) { return std::string(info.param.name); });

// What a command prints on stdout is part of its result: when it cannot be written, the
// command fails, and says so once.
TEST_F(PackTest, AStdoutThatCannotBeWrittenFailsTheCommand) {
  Packed(kStub32, "good.exe");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"names"}, std::vector<std::string>{"list", dir + "/good.exe"},
        std::vector<std::string>{"verify", dir + "/good.exe"},
        std::vector<std::string>{"--help"}}) {
    ToolRun run;
    run.args = command;
    run.stdoutPath = "/dev/full";
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 1) << command[0] << ": " << result.err;
    EXPECT_EQ(CountLines(result.err), 1) << command[0] << ": " << result.err;
    EXPECT_EQ(result.err.rfind("selfinst-pack: ", 0), 0u) << command[0] << ": " << result.err;
  }
}

TEST_F(PackTest, ControlCharactersOfAnImagePathAreEscapedOnStdout) {
  const Bytes good = Packed(kStub32, "good.exe");
  const std::string image = dir + "/a\x1b[31m\nb.exe";
  WriteBytes(image, good);
  for (const char* verb : {"list", "verify"}) {
    ToolRun run;
    run.args = {verb, image};
    const ToolResult result = RunTool(run);
    EXPECT_EQ(result.exitCode, 0) << verb << ": " << result.err;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << verb << ": " << result.out;
    EXPECT_EQ(result.out.rfind(dir + "/a\\u001b[31m\\u000ab.exe: ", 0), 0u)
        << verb << ": " << result.out;
    // As JSON: escaped by the library, one line, and read back as the path it was.
    run.args = {verb, "--json", image};
    const ToolResult json = RunTool(run);
    EXPECT_EQ(json.exitCode, 0) << verb << ": " << json.err;
    EXPECT_EQ(json.out.find('\x1b'), std::string::npos) << verb << ": " << json.out;
    EXPECT_EQ(CountLines(json.out), 1) << verb << ": " << json.out;
    EXPECT_EQ(nlohmann::json::parse(json.out)["image"], image) << verb << ": " << json.out;
  }
}

}  // namespace
