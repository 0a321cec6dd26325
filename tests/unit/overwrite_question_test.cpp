// The question before a present file is overwritten, and the halt after a No.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "box_expectations.h"
#include "fake_platform.h"
#include "launcher/launcher.h"
#include "scratch_folder.h"
#include "table_test.h"

namespace {

const std::string kOldContent = "present before the run";

class OverwriteQuestionRun : public ::testing::Test {
 protected:
  void SetUp() override { BeginRunInScratchFolder(); }
  void TearDown() override { LeaveScratchFolder(); }

  // The launcher's run as an unprivileged user, in a folder it may write to; returns the
  // exit code and the texts shown.
  static int RunUnprivilegedInWritableFolder(std::vector<std::string>* texts) {
    EXPECT_EQ(::chmod(ScratchPath().c_str(), 0777), 0);
    const int code = RunLauncherUnprivileged();
    for (const ShownBox& box : Fake().boxes) {
      texts->push_back(box.text);
    }
    return code;
  }
};

struct DeclineCase {
  const char* name;
  std::vector<int> presentRows;  // files there before the run
  std::vector<int> answers;      // one per present row reached
  int declinedRow;
};

class Decline : public OverwriteQuestionRun, public ::testing::WithParamInterface<DeclineCase> {};

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
      expectedTexts.push_back(OverwriteQuestion(payloadTable[row].fileName));
    }
  }
  expectedTexts.push_back(kHaltText);
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

const DeclineCase kDeclines[] = {
    {"ReadmeAtRowZero", {0}, {kIdNo}, 0},
    {"InstallerAfterYesToRowOne", {1, kInstallerRow, 6}, {kIdYes, kIdNo}, kInstallerRow},
    {"LastRow", {10}, {kIdNo}, 10},
};

TABLE_TEST_ROWS(Cases, Decline, kDeclines);

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

TEST_F(OverwriteQuestionRun, AllElevenPresentAskElevenTimesEachBeforeItsFileIsWritten) {
  for (int row = 0; row < 11; ++row) {
    WriteFile(payloadTable[row].fileName, kOldContent);
    Fake().answers.push_back(kIdYes);
  }
  Fake().snapshot = &FilesStillOld;
  EXPECT_EQ(LauncherMain(nullptr), 0);

  ASSERT_EQ(Fake().boxes.size(), 11u);
  for (int row = 0; row < 11; ++row) {
    EXPECT_EQ(Fake().boxes[row].text, OverwriteQuestion(payloadTable[row].fileName));
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

TEST_F(OverwriteQuestionRun, TextForTwelveCharacterNameIsExactAndFitsTheBuffer) {
  const std::string longest = payloadTable[kLongestNameRow].fileName;
  ASSERT_EQ(longest.size(), 12u);
  WriteFile(longest, kOldContent);
  Fake().answers.push_back(kIdNo);
  EXPECT_EQ(LauncherMain(nullptr), 1);
  ASSERT_EQ(Fake().boxes.size(), 2u);
  EXPECT_EQ(Fake().boxes[0].text, OverwriteQuestion(longest));
  EXPECT_EQ(Fake().boxes[0].text.size(), 118u);
  EXPECT_EQ(Fake().boxes[0].caption, kCaption);
  EXPECT_EQ(Fake().boxes[0].style, kQuestionStyle);
  EXPECT_FALSE(Fake().boxes[0].hasOwner);
}

TEST_F(OverwriteQuestionRun, BoxThatFailsToAppearCountsAsYes) {
  const PayloadEntry& largest = payloadTable[kLargestRow];
  WriteFile(largest.fileName, kOldContent);
  Fake().answers.push_back(0);
  Fake().shellStarts = false;
  EXPECT_EQ(LauncherMain(nullptr), 1);
  EXPECT_EQ(ReadFile(largest.fileName), TestPayloadBytes(largest));
}

TEST_F(OverwriteQuestionRun, ReadOnlyFileAnsweredYesCannotBeCreatedAndStaysUnchanged) {
  const std::string installer = payloadTable[kInstallerRow].fileName;
  WriteFile(installer, kOldContent);
  ASSERT_EQ(::chmod(installer.c_str(), 0444), 0);
  Fake().answers.push_back(kIdYes);
  std::vector<std::string> texts;
  EXPECT_EQ(RunUnprivilegedInWritableFolder(&texts), 1);
  const std::vector<std::string> expected = {OverwriteQuestion(installer),
                                             "Can't Create File [" + installer + "]"};
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(ReadFile(installer), kOldContent);
  EXPECT_EQ(PresentManifestFiles(), std::vector<std::string>{installer});
}

TEST_F(OverwriteQuestionRun, UnreadableButPresentFileIsAskedAbout) {
  const std::string name = payloadTable[1].fileName;
  WriteFile(name, kOldContent);
  ASSERT_EQ(::chmod(name.c_str(), 0222), 0);
  Fake().answers.push_back(kIdNo);
  std::vector<std::string> texts;
  EXPECT_EQ(RunUnprivilegedInWritableFolder(&texts), 1);
  const std::vector<std::string> expected = {OverwriteQuestion(name), kHaltText};
  EXPECT_EQ(texts, expected);
  ASSERT_EQ(::chmod(name.c_str(), 0644), 0);
  EXPECT_EQ(ReadFile(name), kOldContent);
  EXPECT_EQ(PresentManifestFiles(), std::vector<std::string>{name});
}

TEST_F(OverwriteQuestionRun, FileThatOpensAlthoughItsAttributesCannotBeReadIsAskedAbout) {
  const std::string name = payloadTable[kInstallerRow].fileName;
  WriteFile(name, kOldContent);
  Fake().attributesUnreadable.insert(name);
  Fake().answers.push_back(kIdNo);
  EXPECT_EQ(LauncherMain(nullptr), 1);
  std::vector<std::string> texts;
  for (const ShownBox& box : Fake().boxes) {
    texts.push_back(box.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{OverwriteQuestion(name), kHaltText}));
  EXPECT_EQ(ReadFile(name), kOldContent);
}

}  // namespace
