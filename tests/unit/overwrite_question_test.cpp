// The question before a present file is overwritten, and the halt after a No.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher/launcher.h"
#include "scratch_folder.h"

namespace {

constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
constexpr unsigned kQuestionStyle = 0x10034;
constexpr unsigned kErrorStyle = 0x11010;
const std::string kOldContent = "present before the run";

std::string Question(const std::string& name) {
  return name + " is in the current folder.For further instllation you must overwrite " + name +
         "\nDo you want to execute ?";
}

class OverwriteQuestion : public ::testing::Test {
 protected:
  void SetUp() override { BeginRunInScratchFolder(); }
  void TearDown() override { LeaveScratchFolder(); }

  // Runs the launcher in a child process as an unprivileged user, since root may read
  // and write any file whatever its mode; returns the exit code and the texts shown.
  static int RunUnprivileged(std::vector<std::string>* texts) {
    EXPECT_EQ(::chmod(ScratchPath().c_str(), 0777), 0);
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(channel[0]);
      if (::geteuid() == 0 &&
          (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        ::_exit(99);
      }
      const int code = LauncherMain(nullptr);
      for (const ShownBox& box : Fake().boxes) {
        (void)!::write(channel[1], box.text.c_str(), box.text.size() + 1);
      }
      ::_exit(code);
    }
    ::close(channel[1]);
    std::string received;
    char chunk[512];
    for (ssize_t n; (n = ::read(channel[0], chunk, sizeof chunk)) > 0;) {
      received.append(chunk, static_cast<size_t>(n));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (size_t start = 0; start < received.size();) {
      const size_t end = received.find('\0', start);
      texts->push_back(received.substr(start, end - start));
      start = end + 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

struct DeclineCase {
  const char* name;
  std::vector<int> presentRows;  // files there before the run
  std::vector<int> answers;      // one per present row reached
  int declinedRow;
};

void PrintTo(const DeclineCase& c, std::ostream* out) { *out << c.name; }

class Decline : public OverwriteQuestion, public ::testing::WithParamInterface<DeclineCase> {};

TEST_P(Decline, HaltsRemovesRowsBeforeAndKeepsTheDeclinedFile) {
  const DeclineCase& c = GetParam();
  for (int row : c.presentRows) {
    WriteFile(payloadTable[row].fileName, kOldContent);
  }
  Fake().answers.assign(c.answers.begin(), c.answers.end());

  EXPECT_EQ(LauncherMain(nullptr), 1);

  std::vector<std::string> expectedTexts;
  for (int row : c.presentRows) {
    if (row <= c.declinedRow) {
      expectedTexts.push_back(Question(payloadTable[row].fileName));
    }
  }
  expectedTexts.emplace_back("Installation will be halted");
  std::vector<std::string> texts;
  for (const ShownBox& box : Fake().boxes) {
    texts.push_back(box.text);
  }
  EXPECT_EQ(texts, expectedTexts);
  EXPECT_EQ(Fake().boxes.back().style, kErrorStyle);

  // Rows before the declined one are gone, whoever wrote them; the declined file and
  // everything after it are as they were.
  for (int row = 0; payloadTable[row].size != 0; ++row) {
    const std::string name = payloadTable[row].fileName;
    if (row < c.declinedRow) {
      EXPECT_FALSE(FileExists(name)) << name;
    } else if (std::find(c.presentRows.begin(), c.presentRows.end(), row) != c.presentRows.end()) {
      EXPECT_EQ(ReadFile(name), kOldContent) << name;
    } else {
      EXPECT_FALSE(FileExists(name)) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Decline,
    ::testing::Values(DeclineCase{"ReadmeAtRowZero", {0}, {kIdNo}, 0},
                      DeclineCase{"SetupExeAfterYesToData1", {1, 4, 6}, {kIdYes, kIdNo}, 4},
                      DeclineCase{"LastRow", {10}, {kIdNo}, 10}),
    [](const auto& info) { return std::string(info.param.name); });

// Names of the manifest files that still hold their old content.
std::vector<std::string> FilesStillOld() {
  std::vector<std::string> old;
  for (int row = 0; payloadTable[row].size != 0; ++row) {
    if (ReadFile(payloadTable[row].fileName) == kOldContent) {
      old.emplace_back(payloadTable[row].fileName);
    }
  }
  return old;
}

TEST_F(OverwriteQuestion, AllElevenPresentAskElevenTimesEachBeforeItsFileIsWritten) {
  for (int row = 0; row < 11; ++row) {
    WriteFile(payloadTable[row].fileName, kOldContent);
    Fake().answers.push_back(kIdYes);
  }
  Fake().snapshot = &FilesStillOld;
  EXPECT_EQ(LauncherMain(nullptr), 0);

  ASSERT_EQ(Fake().boxes.size(), 11u);
  for (int row = 0; row < 11; ++row) {
    EXPECT_EQ(Fake().boxes[row].text, Question(payloadTable[row].fileName));
    EXPECT_EQ(Fake().boxes[row].style, kQuestionStyle);
    // At question k, rows k..10 still hold their old content.
    std::vector<std::string> expectedOld;
    for (int later = row; later < 11; ++later) {
      expectedOld.emplace_back(payloadTable[later].fileName);
    }
    EXPECT_EQ(Fake().snapshotsAtBox[row], expectedOld);
  }
  EXPECT_TRUE(PresentManifestFiles().empty());
}

TEST_F(OverwriteQuestion, TextForTwelveCharacterNameIsExact) {
  WriteFile("_inst32i.ex_", kOldContent);
  Fake().answers.push_back(kIdNo);
  EXPECT_EQ(LauncherMain(nullptr), 1);
  ASSERT_EQ(Fake().boxes.size(), 2u);
  const std::string expected =
      "_inst32i.ex_ is in the current folder.For further instllation you must overwrite "
      "_inst32i.ex_\nDo you want to execute ?";
  EXPECT_EQ(Fake().boxes[0].text, expected);
  EXPECT_EQ(Fake().boxes[0].text.size(), 118u);
  EXPECT_EQ(Fake().boxes[0].caption, "Varnholt Tonequill TQ-30");
  EXPECT_EQ(Fake().boxes[0].style, kQuestionStyle);
  EXPECT_FALSE(Fake().boxes[0].hasOwner);
}

TEST_F(OverwriteQuestion, BoxThatFailsToAppearCountsAsYes) {
  WriteFile("data.2", kOldContent);
  Fake().answers.push_back(0);
  Fake().shellStarts = false;
  EXPECT_EQ(LauncherMain(nullptr), 1);
  EXPECT_EQ(ReadFile("data.2"), TestPayloadBytes(payloadTable[9]));
}

TEST_F(OverwriteQuestion, ReadOnlyFileAnsweredYesCannotBeCreatedAndStaysUnchanged) {
  WriteFile("setup.exe", kOldContent);
  ASSERT_EQ(::chmod("setup.exe", 0444), 0);
  Fake().answers.push_back(kIdYes);
  std::vector<std::string> texts;
  EXPECT_EQ(RunUnprivileged(&texts), 1);
  const std::vector<std::string> expected = {Question("setup.exe"),
                                             "Can't Create File [setup.exe]"};
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(ReadFile("setup.exe"), kOldContent);
  EXPECT_EQ(PresentManifestFiles(), std::vector<std::string>{"setup.exe"});
}

TEST_F(OverwriteQuestion, UnreadableButPresentFileIsAskedAbout) {
  WriteFile("data.1", kOldContent);
  ASSERT_EQ(::chmod("data.1", 0222), 0);
  Fake().answers.push_back(kIdNo);
  std::vector<std::string> texts;
  EXPECT_EQ(RunUnprivileged(&texts), 1);
  const std::vector<std::string> expected = {Question("data.1"), "Installation will be halted"};
  EXPECT_EQ(texts, expected);
  ASSERT_EQ(::chmod("data.1", 0644), 0);
  EXPECT_EQ(ReadFile("data.1"), kOldContent);
  EXPECT_EQ(PresentManifestFiles(), std::vector<std::string>{"data.1"});
}

}  // namespace
