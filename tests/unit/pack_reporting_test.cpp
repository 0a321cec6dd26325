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
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

// A -C path extract cannot make: returns it, with `tail` inside its last steps.
struct UnusableFolder {
  const char* name;
  std::string (*make)(const std::string& dir, const std::string& tail);
  bool asNobody;
  const char* tail;  // control characters, which the line shows escaped
};

std::string ThroughLockedFolder(const std::string& dir, const std::string& tail) {
  fs::create_directory(dir + "/locked");
  fs::permissions(dir + "/locked", fs::perms::owner_all);  // not nobody's
  return dir + "/locked/sub" + tail + "/x";
}

std::string ThroughLinkLoop(const std::string& dir, const std::string& tail) {
  fs::create_symlink("b", dir + "/a");
  fs::create_symlink("a", dir + "/b");
  return dir + "/a/x" + tail;
}

const UnusableFolder kUnusableFolders[] = {
    {"ThroughAFolderItCannotSearch", ThroughLockedFolder, true, ""},
    {"ThroughALinkLoop", ThroughLinkLoop, false, ""},
    {"ThroughAFolderItCannotSearchWithControlCharacters", ThroughLockedFolder, true, "\x1b[31m\nz"},
    {"ThroughALinkLoopWithControlCharacters", ThroughLinkLoop, false, "\x1b[31m\nz"},
};

class ExtractInto : public PackTest, public ::testing::WithParamInterface<UnusableFolder> {};

TEST_P(ExtractInto, AnUnusableFolderFailsWithOneLine) {
  Packed(kStub32, "good.exe");
  const std::string tail = GetParam().tail;
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
    EXPECT_TRUE(name == "good.exe" || name == "selfinst-pack" || name == "locked" || name == "a" ||
                name == "b")
        << name;
  }
}

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

TABLE_TEST_ROWS(Folders, ExtractInto, kUnusableFolders);

// What a command prints on stdout is part of its result: when it cannot be written, the
// command fails, and says so once.
struct StdoutCommand {
  const char* name;
  std::vector<std::string> args;  // "$IMAGE": a launcher packed in the test's folder
};

const StdoutCommand kStdoutCommands[] = {
    {"Names", {"names"}},
    {"List", {"list", "$IMAGE"}},
    {"Verify", {"verify", "$IMAGE"}},
    {"Help", {"--help"}},
};

class StdoutFull : public PackTest, public ::testing::WithParamInterface<StdoutCommand> {};

TEST_P(StdoutFull, FailsTheCommandWithOneLine) {
  Packed(kStub32, "good.exe");
  ToolRun run;
  for (const std::string& arg : GetParam().args) {
    run.args.push_back(arg == "$IMAGE" ? dir + "/good.exe" : arg);
  }
  run.stdoutPath = "/dev/full";
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("selfinst-pack: ", 0), 0u) << result.err;
}

TABLE_TEST_ROWS(Commands, StdoutFull, kStdoutCommands);

// A path is printed with its control characters, C0 and C1, and its bytes that are not
// UTF-8 escaped, in words and, where it is UTF-8, as JSON.
struct PrintingVerb {
  const char* name;
  const char* verb;
  const char* file;   // in the test's folder
  const char* shown;  // as the words show it
  const char* never;  // bytes that must not reach stdout
  bool json;  // JSON carries it, read back as the path it was when it is UTF-8, else as shown
};

const PrintingVerb kPrintingVerbs[] = {
    {"List", "list", "a\x1b[31m\nb.exe", "a\\u001b[31m\\u000ab.exe", "\x1b", true},
    {"Verify", "verify", "a\x1b[31m\nb.exe", "a\\u001b[31m\\u000ab.exe", "\x1b", true},
    {"ListC1Control", "list",
     "a\xc2\x9b"
     "31mb.exe",
     "a\\u009b31mb.exe", "\xc2\x9b", true},
    {"VerifyC1Control", "verify",
     "a\xc2\x9b"
     "31mb.exe",
     "a\\u009b31mb.exe", "\xc2\x9b", true},
    {"ListByteNotUtf8", "list", "a\xff\x9b.exe", "a\\xff\\x9b.exe", "\xff", true},
    {"VerifyByteNotUtf8", "verify", "a\xff\x9b.exe", "a\\xff\\x9b.exe", "\xff", true},
    // U+202E would show what follows it the other way round.
    {"ListBidiMark", "list",
     "a\xe2\x80\xae"
     "txt.exe",
     "a\\u202etxt.exe", "\xe2\x80\xae", true},
    {"VerifyBidiMark", "verify",
     "a\xe2\x80\xae"
     "txt.exe",
     "a\\u202etxt.exe", "\xe2\x80\xae", true},
    {"ListArabicLetterMark", "list", "a\xd8\x9c.exe", "a\\u061c.exe", "\xd8\x9c", true},
};

class ImagePathOnStdout : public PackTest, public ::testing::WithParamInterface<PrintingVerb> {};

TEST_P(ImagePathOnStdout, HasItsControlCharactersEscaped) {
  const Bytes good = Packed(kStub32, "good.exe");
  const std::string image = dir + "/" + GetParam().file;
  WriteBytes(image, good);
  ToolRun run;
  run.args = {GetParam().verb, image};
  const ToolResult result = RunTool(run);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out.find(GetParam().never), std::string::npos) << result.out;
  EXPECT_EQ(result.out.rfind(dir + "/" + GetParam().shown + ": ", 0), 0u) << result.out;
  if (GetParam().json) {
    // Escaped by the library, one line, and read back as the path it was.
    run.args = {GetParam().verb, "--json", image};
    const ToolResult json = RunTool(run);
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out.find(GetParam().never), std::string::npos) << json.out;
    EXPECT_EQ(CountLines(json.out), 1) << json.out;
    const bool utf8 = std::string(GetParam().file).find('\xff') == std::string::npos;
    EXPECT_EQ(nlohmann::json::parse(json.out)["image"], utf8 ? image : dir + "/" + GetParam().shown)
        << json.out;
  }
}

TABLE_TEST_ROWS(Verbs, ImagePathOnStdout, kPrintingVerbs);

}  // namespace
