// Each failing row step: its exact notice, which files it takes back, exit code 1, and
// no row after the failing one touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "box_expectations.h"
#include "fake_platform.h"
#include "launcher/launcher.h"
#include "scratch_folder.h"

namespace {

enum class Fault {
  MissingItem,
  UnloadableItem,
  TruncatedItem,
  PresentFileWithoutItem,  // the row's file is there too: no question before the notice
  NameIsFolder,
  FolderNotWritable,  // no file can be created in the current folder
  DiskFull
};

// The failing row's own file is still there after the run.
bool KeepsFailingFile(Fault fault) {
  return fault == Fault::PresentFileWithoutItem || fault == Fault::NameIsFolder;
}

struct FailureCase {
  Fault fault;
  int row;
  std::string notice;  // exact text
};

std::string Name(const FailureCase& c);
void PrintTo(const FailureCase& c, std::ostream* out) { *out << Name(c); }

std::string Name(const FailureCase& c) {
  const char* faults[] = {
      "MissingItem",  "UnloadableItem",    "TruncatedItem", "PresentFileWithoutItem",
      "NameIsFolder", "FolderNotWritable", "DiskFull"};
  return std::string(faults[static_cast<int>(c.fault)]) + "AtRow" + std::to_string(c.row);
}

class ExtractionFailure : public ::testing::TestWithParam<FailureCase> {
 protected:
  void SetUp() override { BeginRunInScratchFolder(); }
  void TearDown() override { LeaveScratchFolder(); }
};

TEST_P(ExtractionFailure, ShowsNoticeRemovesCompletedRowsAndLeavesLaterRowsAlone) {
  const FailureCase& c = GetParam();
  const PayloadEntry& failing = payloadTable[c.row];
  const std::string key = UpperKey(failing);
  const bool hasLaterRow = payloadTable[c.row + 1].size != 0;
  const std::string later = hasLaterRow ? payloadTable[c.row + 1].fileName : "";
  if (hasLaterRow) {
    WriteFile(later, "was here before the run");
  }
  switch (c.fault) {
    case Fault::MissingItem:
      Fake().items.erase(key);
      break;
    case Fault::UnloadableItem:
      Fake().unloadable.insert(key);
      break;
    case Fault::TruncatedItem:
      Fake().items[key].pop_back();
      break;
    case Fault::PresentFileWithoutItem:
      WriteFile(failing.fileName, "was here before the run");
      Fake().items.erase(key);
      break;
    case Fault::NameIsFolder:
      ASSERT_EQ(::mkdir(failing.fileName, 0755), 0);
      break;
    case Fault::FolderNotWritable:
      // Root creates files anywhere, so this run is an unprivileged user's.
      ASSERT_EQ(::chmod(ScratchPath().c_str(), 0555), 0);
      break;
    case Fault::DiskFull:
      // Every write to the device fails as on a full disk; the name exists, so the
      // overwrite question comes first and is answered Yes.
      ASSERT_EQ(::symlink("/dev/full", failing.fileName), 0);
      Fake().answers.push_back(kIdYes);
      break;
  }

  EXPECT_EQ(c.fault == Fault::FolderNotWritable ? RunLauncherUnprivileged() : LauncherMain(nullptr),
            1);

  ASSERT_FALSE(Fake().boxes.empty());
  const ShownBox& notice = Fake().boxes.back();
  EXPECT_EQ(notice.text, c.notice);
  EXPECT_EQ(notice.caption, kCaption);
  EXPECT_EQ(notice.style, kErrorStyle);
  EXPECT_EQ(Fake().boxes.size(), c.fault == Fault::DiskFull ? 2u : 1u);

  for (int row = 0; row < c.row; ++row) {
    EXPECT_FALSE(FileExists(payloadTable[row].fileName)) << payloadTable[row].fileName;
  }
  EXPECT_EQ(FileExists(failing.fileName), KeepsFailingFile(c.fault));
  if (c.fault == Fault::PresentFileWithoutItem) {
    EXPECT_EQ(ReadFile(failing.fileName), "was here before the run");
  }
  if (hasLaterRow) {
    EXPECT_EQ(ReadFile(later), "was here before the run");
  }
  for (int row = c.row + 2; hasLaterRow && payloadTable[row].size != 0; ++row) {
    EXPECT_FALSE(FileExists(payloadTable[row].fileName)) << payloadTable[row].fileName;
  }
  // Nothing after the failing row was looked up, and nothing was started.
  for (const std::string& call : Fake().calls) {
    EXPECT_NE(call, "shell");
    if (hasLaterRow) {
      EXPECT_NE(call, "find:" + UpperKey(payloadTable[c.row + 1]));
    }
  }
}

std::vector<FailureCase> AllCases() {
  std::vector<FailureCase> cases;
  for (int row : {0, kLongestNameRow, kInstallerRow, kLargestRow, kLastRow}) {
    const std::string key = payloadTable[row].itemKey;
    const std::string file = payloadTable[row].fileName;
    cases.push_back({Fault::MissingItem, row, "Can't load resource [" + key + "]"});
    cases.push_back({Fault::UnloadableItem, row, "Can't load resource [" + key + "]"});
    cases.push_back({Fault::TruncatedItem, row, "Can't load resource [" + key + "]"});
    cases.push_back({Fault::PresentFileWithoutItem, row, "Can't load resource [" + key + "]"});
    cases.push_back({Fault::NameIsFolder, row, "Can't Create File [" + file + "]"});
    cases.push_back({Fault::DiskFull, row, "Can't write file [" + file + "]"});
  }
  cases.push_back({Fault::FolderNotWritable, 0,
                   "Can't Create File [" + std::string(payloadTable[0].fileName) + "]"});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RowsAndSteps, ExtractionFailure, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return Name(info.param); });

class LocateChain : public ExtractionFailure {};

TEST_F(LocateChain, MissingKeyNeverReachesLoadOrLockAsNullHandle) {
  Fake().items.erase(UpperKey(payloadTable[1]));
  EXPECT_EQ(LauncherMain(nullptr), 1);
  for (const std::string& call : Fake().calls) {
    EXPECT_EQ(call.find(":null"), std::string::npos) << call;
  }
  EXPECT_EQ(Fake().calls.back(), "box");
}

TEST_F(LocateChain, UnloadableItemIsNeverLocked) {
  Fake().unloadable.insert(UpperKey(payloadTable[0]));
  EXPECT_EQ(LauncherMain(nullptr), 1);
  for (const std::string& call : Fake().calls) {
    EXPECT_NE(call.rfind("lock:", 0), 0u) << call;
  }
}

TEST_F(LocateChain, ItemLongerThanItsRowIsWrittenToTheRowsSize) {
  const PayloadEntry& row = payloadTable[8];
  Fake().items[UpperKey(row)] += "tail that is not part of the file";
  Fake().shellStarts = false;
  EXPECT_EQ(LauncherMain(nullptr), 1);
  EXPECT_EQ(ReadFile(row.fileName), TestPayloadBytes(row));
}

}  // namespace
