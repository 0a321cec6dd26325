// The launcher's run over the fake platform, with real files in a scratch folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "box_expectations.h"
#include "fake_platform.h"
#include "launcher/launcher.h"
#include "payload/remove_extracted.h"
#include "scratch_folder.h"
#include "table_test.h"

namespace {

class LauncherRun : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginRunInScratchFolder();
    Fake().snapshot = &PresentManifestFiles;
  }
  void TearDown() override { LeaveScratchFolder(); }

  static std::vector<std::string> FirstFiles(int count) {
    std::vector<std::string> names;
    for (int row = 0; row < count; ++row) {
      names.emplace_back(payloadTable[row].fileName);
    }
    return names;
  }

  // The calls made from the hand-off on.
  static std::vector<std::string> CallsFromHandOff() {
    const auto& calls = Fake().calls;
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] == "shell") {
        return {calls.begin() + static_cast<long>(i), calls.end()};
      }
    }
    return {};
  }
};

// The names themselves are listed once, for every tool; here their rules are checked.
TEST_F(LauncherRun, ManifestHasElevenRowsNamedByTheirKeysEndedByTerminator) {
  ASSERT_EQ(ManifestRows(), 11);
  std::set<std::string> names;
  for (int row = 0; row < 11; ++row) {
    const std::string name = payloadTable[row].fileName;
    std::string expectedKey = name;
    std::transform(name.begin(), name.end(), expectedKey.begin(), [](unsigned char c) {
      return c == '.' ? '_' : static_cast<char>(std::tolower(c));
    });
    EXPECT_EQ(payloadTable[row].itemKey, expectedKey) << name;
    EXPECT_LE(name.size(), 12u) << name;
    EXPECT_TRUE(names.insert(name).second) << name << " twice";
    EXPECT_EQ(payloadTable[row].size, TestPayloadBytes(payloadTable[row]).size()) << name;
    EXPECT_LE(payloadTable[row].size, payloadTable[kLargestRow].size) << name;
  }
  EXPECT_EQ(std::string(payloadTable[kInstallerRow].fileName), "setup.exe");
  EXPECT_EQ(std::string(payloadTable[kLongestNameRow].fileName).size(), 12u);
  EXPECT_EQ(payloadTable[11].size, 0u);
  EXPECT_EQ(payloadTable[11].fileName, nullptr);
  EXPECT_EQ(payloadTable[11].itemKey, nullptr);
}

TEST_F(LauncherRun, FullRunWritesEachFileInOrderThenHandsOffWaitsAndRemovesAll) {
  Fake().probesWithWindow = 3;
  EXPECT_EQ(LauncherMain(nullptr), 0);

  // At each release the file of that row and of every earlier row is written, and no
  // later one: the files were written one by one in manifest order.
  ASSERT_EQ(Fake().snapshotsAtRelease.size(), 11u);
  for (int row = 0; row < 11; ++row) {
    EXPECT_EQ(Fake().snapshotsAtRelease[row], FirstFiles(row + 1)) << "row " << row;
  }
  EXPECT_TRUE(Fake().boxes.empty());

  const ShellRecord& record = Fake().shellRecord;
  EXPECT_EQ(record.fMask, 0x40u);
  EXPECT_FALSE(record.hasOwner);
  EXPECT_EQ(record.verb, "Open");
  // Relative to the current folder, never a bare name the shell would search for.
  EXPECT_EQ(record.file, ".\\setup.exe");
  EXPECT_EQ(record.parameters, "CLEAR");
  EXPECT_FALSE(record.hasDirectory);
  EXPECT_EQ(record.nShow, 1);

  // No sleep before the first probe, 500 ms between later ones, no probe limit.
  const std::vector<std::string> expected = {"shell",       "wait",        "probe:Setup",
                                             "sleep:500",   "probe:Setup", "sleep:500",
                                             "probe:Setup", "sleep:500",   "probe:Setup"};
  EXPECT_EQ(CallsFromHandOff(), expected);
  EXPECT_TRUE(PresentManifestFiles().empty());
}

TEST_F(LauncherRun, WrittenFilesAreByteExactCopiesOfTheItems) {
  Fake().shellStarts = false;  // keeps the files for inspection
  EXPECT_EQ(LauncherMain(nullptr), 1);
  for (int row = 0; row < 11; ++row) {
    EXPECT_EQ(ReadFile(payloadTable[row].fileName), TestPayloadBytes(payloadTable[row]))
        << payloadTable[row].fileName;
  }
}

TEST_F(LauncherRun, ItemsAreLocatedHeldAndReleasedOneAtATime) {
  EXPECT_EQ(LauncherMain(nullptr), 0);
  std::vector<std::string> itemCalls;
  for (const auto& call : Fake().calls) {
    if (call.rfind("find:", 0) == 0 || call.rfind("free:", 0) == 0) {
      itemCalls.push_back(call);
    }
  }
  std::vector<std::string> expected;
  for (int row = 0; row < 11; ++row) {
    expected.push_back("find:" + UpperKey(payloadTable[row]));
    expected.push_back("free:" + UpperKey(payloadTable[row]));
  }
  EXPECT_EQ(itemCalls, expected);
}

TEST_F(LauncherRun, FailedStartShowsNoticeReturnsOneAndKeepsEveryFile) {
  Fake().shellStarts = false;
  EXPECT_EQ(LauncherMain(nullptr), 1);
  ASSERT_EQ(Fake().boxes.size(), 1u);
  EXPECT_EQ(Fake().boxes[0].text, kStartFailureText);
  EXPECT_EQ(Fake().boxes[0].caption, kCaption);
  EXPECT_EQ(Fake().boxes[0].style, kErrorStyle);
  EXPECT_FALSE(Fake().boxes[0].hasOwner);
  EXPECT_EQ(PresentManifestFiles(), FirstFiles(11));
  EXPECT_EQ(CallsFromHandOff(), (std::vector<std::string>{"shell", "box"}));
}

TEST_F(LauncherRun, StartWithoutProcessHandleSkipsTheWaitButStillProbes) {
  Fake().shellLeavesProcess = false;
  Fake().probesWithWindow = 1;
  EXPECT_EQ(LauncherMain(nullptr), 0);
  const std::vector<std::string> expected = {"shell", "probe:Setup", "sleep:500", "probe:Setup"};
  EXPECT_EQ(CallsFromHandOff(), expected);
  EXPECT_TRUE(PresentManifestFiles().empty());
}

TEST_F(LauncherRun, NoWindowAfterInstallerEndsRemovesFilesWithoutSleeping) {
  EXPECT_EQ(LauncherMain(nullptr), 0);
  EXPECT_EQ(CallsFromHandOff(), (std::vector<std::string>{"shell", "wait", "probe:Setup"}));
  EXPECT_TRUE(PresentManifestFiles().empty());
}

TEST_F(LauncherRun, SecondRunStartsAgainFromRowZero) {
  EXPECT_EQ(LauncherMain(nullptr), 0);
  Fake().calls.clear();
  Fake().snapshotsAtRelease.clear();
  EXPECT_EQ(LauncherMain(nullptr), 0);
  ASSERT_EQ(Fake().snapshotsAtRelease.size(), 11u);
  EXPECT_EQ(Fake().calls.front(), "find:" + UpperKey(payloadTable[0]));
}

// RemoveExtracted over the first rows, with some files already gone beforehand.
struct RemovalCase {
  const char* name;
  int rowLimit;
  std::vector<int> goneBefore;
  int expectedRemoved;  // the first rows whose files are gone afterwards
};

class Removal : public LauncherRun, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(Removal, DeletesExactlyTheFirstRowsAndSkipsMissingFiles) {
  const RemovalCase& c = GetParam();
  for (int row = 0; row < 11; ++row) {
    WriteFile(payloadTable[row].fileName, "x");
  }
  WriteFile("unrelated.txt", "keep");
  for (int row : c.goneBefore) {
    ASSERT_EQ(std::remove(payloadTable[row].fileName), 0);
  }
  RemoveExtracted(c.rowLimit);
  for (int row = 0; row < 11; ++row) {
    EXPECT_EQ(FileExists(payloadTable[row].fileName), row >= c.expectedRemoved)
        << payloadTable[row].fileName;
  }
  EXPECT_EQ(ReadFile("unrelated.txt"), "keep");
}

const RemovalCase kRemovals[] = {
    {"zero", 0, {}, 0},         {"negative", -1, {}, 0}, {"three", 3, {}, 3},
    {"final", 100, {}, 11},     {"eleven", 11, {}, 11},  {"alreadyGone", 100, {0, 4, 10}, 11},
    {"gapThenMore", 6, {2}, 6},
};

TABLE_TEST_ROWS(Limits, Removal, kRemovals);

}  // namespace
