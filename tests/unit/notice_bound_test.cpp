// Notices at the bound of the 200-character buffer they are formatted in: the cut itself,
// and the launcher linked with a manifest whose one name is long enough for every notice to
// reach the bound.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "box_expectations.h"
#include "fake_platform.h"
#include "launcher/launcher.h"
#include "platform/text_bound.h"
#include "scratch_folder.h"
#include "table_test.h"

namespace {

// The launcher's notice buffer: 199 characters and a NUL.
constexpr std::size_t kNoticeCapacity = 200;

struct CutCase {
  const char* name;
  int length;  // the formatter's count
  std::size_t capacity;
  std::size_t kept;
};

class Cut : public ::testing::TestWithParam<CutCase> {};

TEST_P(Cut, KeepsWhatFitsBeforeItsNul) {
  const CutCase& c = GetParam();
  std::string text(1024, ' ');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char>('a' + i % 26);
  }
  // Exactly the capacity on the heap, so that one character past it is caught.
  std::vector<char> buffer(c.capacity, '#');
  EXPECT_EQ(platform::KeepWithin(buffer.data(), c.capacity, text.data(), c.length), c.kept);
  if (c.capacity > 0) {
    EXPECT_EQ(std::string(buffer.data(), c.kept), text.substr(0, c.kept));
    EXPECT_EQ(buffer[c.kept], '\0');
  }
}

const CutCase kCuts[] = {
    {"Empty", 0, kNoticeCapacity, 0},
    {"LongestRealQuestion", 118, kNoticeCapacity, 118},
    {"OneBelowTheBound", 199, kNoticeCapacity, 199},
    {"AtTheBound", 200, kNoticeCapacity, 199},
    {"AllAFormatterWrites", 1024, kNoticeCapacity, 199},
    {"NegativeCount", -1, kNoticeCapacity, 0},
    {"RoomForTheNulOnly", 5, 1, 0},
    {"NoRoom", 5, 0, 0},
};

TABLE_TEST_ROWS(Lengths, Cut, kCuts);

enum class Fault { MissingItem, NameIsFolder, DiskFull, Declined };

enum class Notice { LoadFailure, CreateFailure, WriteFailure, Question, Halt };

// The whole text of a notice about the long row, before any cut.
std::string FullText(Notice notice) {
  const std::string key = payloadTable[0].itemKey;
  const std::string file = payloadTable[0].fileName;
  switch (notice) {
    case Notice::LoadFailure:
      return "Can't load resource [" + key + "]";
    case Notice::CreateFailure:
      return "Can't Create File [" + file + "]";
    case Notice::WriteFailure:
      return "Can't write file [" + file + "]";
    case Notice::Question:
      return OverwriteQuestion(file);
    case Notice::Halt:
      return kHaltText;
  }
  return "";
}

struct LongNameCase {
  const char* name;
  Fault fault;
  std::vector<int> answers;
  std::vector<Notice> notices;  // in the order shown
};

class LongName : public ::testing::TestWithParam<LongNameCase> {
 protected:
  void SetUp() override {
    EnterScratchFolder();
    ResetFake();
    Fake().items[UpperKey(payloadTable[0])] = "abc";
  }
  void TearDown() override { LeaveScratchFolder(); }
};

TEST_P(LongName, EveryNoticeIsCutToTheBuffer) {
  const LongNameCase& c = GetParam();
  const std::string file = payloadTable[0].fileName;
  switch (c.fault) {
    case Fault::MissingItem:
      Fake().items.clear();
      break;
    case Fault::NameIsFolder:
      ASSERT_EQ(::mkdir(file.c_str(), 0755), 0);
      break;
    case Fault::DiskFull:
      ASSERT_EQ(::symlink("/dev/full", file.c_str()), 0);
      break;
    case Fault::Declined:
      WriteFile(file, "present before the run");
      break;
  }
  Fake().answers.assign(c.answers.begin(), c.answers.end());

  EXPECT_EQ(LauncherMain(nullptr), 1);

  std::vector<std::string> expected;
  for (const Notice notice : c.notices) {
    const std::string text = FullText(notice);
    if (notice != Notice::Halt) {
      EXPECT_GE(text.size(), kNoticeCapacity) << "does not reach the bound: " << text;
    }
    expected.push_back(text.substr(0, kNoticeCapacity - 1));
  }
  std::vector<std::string> shown;
  for (const ShownBox& box : Fake().boxes) {
    shown.push_back(box.text);
    EXPECT_EQ(box.caption, kCaption);
  }
  EXPECT_EQ(shown, expected);
}

const LongNameCase kLongNames[] = {
    {"LoadFailure", Fault::MissingItem, {}, {Notice::LoadFailure}},
    {"CreateFailure", Fault::NameIsFolder, {}, {Notice::CreateFailure}},
    {"QuestionThenWriteFailure",
     Fault::DiskFull,
     {kIdYes},
     {Notice::Question, Notice::WriteFailure}},
    {"QuestionThenHalt", Fault::Declined, {kIdNo}, {Notice::Question, Notice::Halt}},
};

TABLE_TEST_ROWS(Notices, LongName, kLongNames);

}  // namespace
