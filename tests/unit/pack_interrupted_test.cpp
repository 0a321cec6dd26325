// A writing command ended by a signal, or failing, leaves the folder as it was, folders it
// made included, and the same command run again succeeds.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "pack_process.h"
#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

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
    const CommandResult packed = RunPack(
        {"pack", "--stub", kStub32, "--payload", large + "/payload", "-o", large + "/large.exe"});
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
    run.args = {
        "pack", "--stub", kStub32, "--payload", large + "/payload", "-o", folder + "/setup.exe"};
  }
  const std::map<std::string, std::string> before = TreeOf(dir);
  const Interruption ended = InterruptWhileWriting(run, folder, signal);
  ASSERT_TRUE(ended.writing) << "the output was never open";
  EXPECT_FALSE(WIFEXITED(ended.status) && WEXITSTATUS(ended.status) == 0)
      << "the signal did not end it";
  EXPECT_EQ(TreeOf(dir), before);
  // Nothing is left in the way of the same command run again.
  run.timeoutSeconds = 120;
  const ToolResult again = RunTool(run);
  EXPECT_EQ(again.exitCode, 0) << again.err;
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
