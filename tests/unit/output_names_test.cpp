// Outputs given their names: all of a set of new files or none, one replaced file only over
// a regular file that may go, never over something that must be kept, and with the mode
// the file it replaced had when that was the user's own.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include "output_folder_fixture.h"
#include "table_test.h"
#include "unprivileged.h"

namespace fs = std::filesystem;

namespace {

// A case's name: its row's, then whether the outputs took hidden names or none.
struct NamedOrUnnamed {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<std::tuple<Row, bool>>& info) const {
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) ? "Named" : "Unnamed");
  }
};

// Every output of a set named, each with its bytes and nothing else in the folder.
class Placing : public OutputFolderTest,
                public ::testing::WithParamInterface<std::tuple<Existing, bool>> {};

TEST_P(Placing, NamesEveryOutputAndLeavesNoTemporary) {
  const Existing existing = std::get<0>(GetParam());
  UseNamedTemporariesOnly(std::get<1>(GetParam()));
  ASSERT_TRUE(BeginAll(existing, dir, NamesFor(existing))) << Problems(report);
  EXPECT_EQ(set.Path(0), dir + "/first.bin");
  ASSERT_TRUE(set.Place(&report)) << Problems(report);
  EXPECT_EQ(FolderEntries(dir), NamesFor(existing));
  for (const std::string& name : NamesFor(existing)) {
    EXPECT_EQ(ReadBytes(dir + "/" + name), ContentOf(name)) << name;
  }
  EXPECT_TRUE(report.empty());
}

INSTANTIATE_TEST_SUITE_P(Outputs, Placing,
                         ::testing::Combine(::testing::Values(Existing::kKeep, Existing::kReplace),
                                            ::testing::Bool()));

// Something appears at the name of output `at` after the outputs were created: that
// output is refused when naming, the ones named before it are unnamed again, and what
// appeared is as it was. A replaced file's set has the one output.
struct Appearing {
  const char* name;
  Existing existing;
  std::size_t at;
  void (*plant)(const std::string& path, const std::string& dir);
  const char* problem;
};
TABLE_ROW_NAMES(Appearing);

void PlantFile(const std::string& path, const std::string&) { WriteBytes(path, BytesOf("own")); }
void PlantLink(const std::string& path, const std::string& dir) {
  fs::create_symlink(dir + "/victim", path);
}
void PlantFolder(const std::string& path, const std::string&) { fs::create_directory(path); }
void PlantFifo(const std::string& path, const std::string&) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
}

const Appearing kAppearing[] = {
    {"KeepAFileAtTheFirst", Existing::kKeep, 0, PlantFile, kAlreadyThere},
    {"KeepAFileAtTheLast", Existing::kKeep, 2, PlantFile, kAlreadyThere},
    {"KeepALinkInTheMiddle", Existing::kKeep, 1, PlantLink, kAlreadyThere},
    {"KeepAFolderAtTheLast", Existing::kKeep, 2, PlantFolder, kAlreadyThere},
    {"ReplaceALink", Existing::kReplace, 0, PlantLink,
     "a symbolic link, not a regular file; it is kept, and nothing is written"},
    {"ReplaceAFifo", Existing::kReplace, 0, PlantFifo,
     "a FIFO, not a regular file; it is kept, and nothing is written"},
    {"ReplaceAFolder", Existing::kReplace, 0, PlantFolder,
     "a folder, not a regular file; it is kept, and nothing is written"},
};

class AllOrNone : public OutputFolderTest,
                  public ::testing::WithParamInterface<std::tuple<Appearing, bool>> {};

TEST_P(AllOrNone, SomethingAppearingAtOneNamePlacesNone) {
  const Appearing& c = std::get<0>(GetParam());
  UseNamedTemporariesOnly(std::get<1>(GetParam()));
  const std::string out = dir + "/out";
  fs::create_directory(out);
  WriteBytes(dir + "/victim", BytesOf("victim"));
  const std::vector<std::string> names = NamesFor(c.existing);
  ASSERT_TRUE(BeginAll(c.existing, out, names)) << Problems(report);
  const std::string path = out + "/" + names[c.at];
  c.plant(path, dir);
  const struct stat before = LinkStatus(path);
  const Bytes bytes = S_ISREG(before.st_mode) ? ReadBytes(path) : Bytes{};

  EXPECT_FALSE(set.Place(&report));
  EXPECT_EQ(Problems(report), path + ": " + c.problem + "\n");
  EXPECT_EQ(FolderEntries(out), std::vector<std::string>{names[c.at]});
  const struct stat after = LinkStatus(path);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  if (S_ISREG(before.st_mode)) {
    EXPECT_EQ(ReadBytes(path), bytes);
  }
  EXPECT_EQ(ReadBytes(dir + "/victim"), BytesOf("victim"));
  // The set is over: another may begin.
  EXPECT_TRUE(set.BeginNewFiles(out, {}, &report)) << Problems(report);
}

INSTANTIATE_TEST_SUITE_P(Names, AllOrNone,
                         ::testing::Combine(::testing::ValuesIn(kAppearing), ::testing::Bool()),
                         NamedOrUnnamed());

// The mode a replaced file of the user's own had is kept, but for write permission for
// group or others that the umask takes away; a new file, and one replacing another user's
// file, has 0666 less the umask.
struct ModeCase {
  const char* name;
  int existingMode;  // -1: no file there
  mode_t umask;
  mode_t expected;
  bool anotherUsers;  // the file there belongs to kUnprivilegedId
};
TABLE_ROW_NAMES(ModeCase);

const ModeCase kModes[] = {
    {"Executable", 0755, 022, 0755, false},
    {"Private", 0600, 022, 0600, false},
    {"GroupRead", 0640, 077, 0640, false},
    {"ReadOnly", 0444, 022, 0444, false},
    {"NewFile", -1, 022, 0644, false},
    {"NewFileUnderAStricterMask", -1, 027, 0640, false},
    {"WorldWritableLosesWhatTheMaskTakes", 0666, 022, 0644, false},
    {"GroupWritableUnderAMaskThatAllowsIt", 0775, 002, 0775, false},
    {"WorldWritableUnderAGroupMask", 0666, 002, 0664, false},
    {"PlantedWorldWritableByAnotherUser", 0666, 022, 0644, true},
    {"ExecutableOfAnotherUser", 0755, 027, 0640, true},
};

class ReplacedMode : public OutputFolderTest,
                     public ::testing::WithParamInterface<std::tuple<ModeCase, bool>> {};

TEST_P(ReplacedMode, IsKept) {
  const ModeCase& c = std::get<0>(GetParam());
  UseNamedTemporariesOnly(std::get<1>(GetParam()));
  const std::string path = dir + "/first.bin";
  ino_t replaced = 0;
  if (c.existingMode >= 0) {
    WriteBytes(path, BytesOf("old"));
    ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.existingMode)), 0);
    if (c.anotherUsers) {
      ASSERT_EQ(::chown(path.c_str(), kUnprivilegedId, kUnprivilegedId), 0);
    }
    replaced = LinkStatus(path).st_ino;
  }
  const mode_t saved = ::umask(c.umask);
  ASSERT_TRUE(BeginAll(Existing::kReplace, dir, {"first.bin"})) << Problems(report);
  const bool placed = set.Place(&report);
  (void)::umask(saved);
  ASSERT_TRUE(placed) << Problems(report);
  const struct stat status = LinkStatus(path);
  EXPECT_EQ(status.st_mode & 07777, c.expected);
  EXPECT_NE(status.st_ino, replaced);
  EXPECT_EQ(ReadBytes(path), ContentOf("first.bin"));
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"first.bin"});
}

INSTANTIATE_TEST_SUITE_P(Modes, ReplacedMode,
                         ::testing::Combine(::testing::ValuesIn(kModes), ::testing::Bool()),
                         NamedOrUnnamed());

// What is not a regular file is refused before anything is written, and stays as it was.
struct NotRegular {
  const char* name;
  void (*plant)(const std::string& path, const std::string& dir);
  const char* kind;
};
TABLE_ROW_NAMES(NotRegular);

const NotRegular kNotRegular[] = {
    {"Fifo", PlantFifo, "a FIFO"},
    {"CharacterDevice",
     [](const std::string& path, const std::string&) {
       ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // like /dev/null
     },
     "a device"},
    {"LinkToAFile", PlantLink, "a symbolic link"},
    {"DanglingLink",
     [](const std::string& path, const std::string& dir) {
       fs::create_symlink(dir + "/nowhere", path);
     },
     "a symbolic link"},
    {"Folder",
     [](const std::string& path, const std::string&) {
       fs::create_directory(path);
       WriteBytes(path + "/inside", BytesOf("inside"));
     },
     "a folder"},
};

class NonRegularTarget : public OutputFolderTest,
                         public ::testing::WithParamInterface<std::tuple<NotRegular, Existing>> {};

TEST_P(NonRegularTarget, IsRefusedAndUntouched) {
  const NotRegular& c = std::get<0>(GetParam());
  const std::string out = dir + "/out";
  fs::create_directory(out);
  WriteBytes(dir + "/victim", BytesOf("victim"));
  const std::string path = out + "/first.bin";
  c.plant(path, dir);
  const struct stat before = LinkStatus(path);
  std::size_t output = 99;
  if (std::get<1>(GetParam()) == Existing::kKeep) {
    ASSERT_TRUE(set.BeginNewFiles(out, {}, &report));
    EXPECT_FALSE(set.AddNewFile("first.bin", &output, &report));
  } else {
    EXPECT_FALSE(set.BeginReplacing(out, "first.bin", {}, &report));
  }
  const std::string problem =
      std::get<1>(GetParam()) == Existing::kKeep
          ? kAlreadyThere
          : std::string(c.kind) + ", not a regular file; it is kept, and nothing is written";
  EXPECT_EQ(Problems(report), path + ": " + problem + "\n");
  EXPECT_EQ(output, 99u);
  set.Discard();
  const struct stat after = LinkStatus(path);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_rdev, before.st_rdev);
  EXPECT_EQ(FolderEntries(out), std::vector<std::string>{"first.bin"});
  EXPECT_EQ(ReadBytes(dir + "/victim"), BytesOf("victim"));
  if (S_ISDIR(before.st_mode)) {
    EXPECT_EQ(FolderEntries(path), std::vector<std::string>{"inside"});
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, NonRegularTarget,
                         ::testing::Combine(::testing::ValuesIn(kNotRegular),
                                            ::testing::Values(Existing::kReplace, Existing::kKeep)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == Existing::kKeep ? "Kept"
                                                                              : "Replaced");
                         });

// One of the command's inputs, under its own name or another one linked to it, is never
// written over, whether it was there at the start or only when naming.
struct InputCase {
  const char* name;
  const char* target;
  bool linkedAfterCreating;
};
const InputCase kInputCases[] = {
    {"TheInputItself", "input.exe", false},
    {"AHardLinkToIt", "alias.exe", false},
    {"AHardLinkMadeBeforeNaming", "alias.exe", true},
};

class InputAsTarget : public OutputFolderTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputAsTarget, IsRefused) {
  const std::string input = dir + "/input.exe";
  WriteBytes(input, BytesOf("the input"));
  const std::string alias = dir + "/alias.exe";
  if (!GetParam().linkedAfterCreating) {
    fs::create_hard_link(input, alias);
  }
  Inputs inputs;
  inputs.files.push_back(IdentityOfPath(input));
  const std::string path = dir + "/" + GetParam().target;
  const std::string problem =
      path + ": the file is one of the command's inputs; it is kept, and nothing is written\n";
  const bool begun = set.BeginReplacing(dir, GetParam().target, inputs, &report);
  EXPECT_EQ(begun, GetParam().linkedAfterCreating) << Problems(report);
  if (begun) {
    ASSERT_TRUE(set.Write(0, "new", 3, &report));
    fs::create_hard_link(input, alias);
    EXPECT_FALSE(set.Place(&report));
  }
  EXPECT_EQ(Problems(report), problem);
  EXPECT_EQ(ReadBytes(input), BytesOf("the input"));
  EXPECT_EQ(IdentityOfPath(path).inode, IdentityOfPath(input).inode);
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"alias.exe", "input.exe"}));
}

TABLE_TEST_ROWS(Inputs, InputAsTarget, kInputCases);

// A name as long as a file system allows is written: the temporary names are short.
class LongestName : public OutputFolderTest,
                    public ::testing::WithParamInterface<std::tuple<Existing, bool>> {};

TEST_P(LongestName, IsWrittenAndOneLongerIsRefused) {
  const Existing existing = std::get<0>(GetParam());
  UseNamedTemporariesOnly(std::get<1>(GetParam()));
  const std::string longest(255, 'n');
  std::size_t output = 99;
  const bool longerBegun =
      existing == Existing::kKeep
          ? set.BeginNewFiles(dir, {}, &report) && set.AddNewFile(longest + "n", &output, &report)
          : set.BeginReplacing(dir, longest + "n", {}, &report);
  EXPECT_FALSE(longerBegun);
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].what, "cannot create a file in its folder: File name too long");
  set.Discard();
  report.clear();
  if (existing == Existing::kReplace) {
    WriteBytes(dir + "/" + longest, BytesOf("old"));
  }
  ASSERT_TRUE(BeginAll(existing, dir, {longest})) << Problems(report);
  ASSERT_TRUE(set.Place(&report)) << Problems(report);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{longest});
  EXPECT_EQ(ReadBytes(dir + "/" + longest), ContentOf(longest));
}

INSTANTIATE_TEST_SUITE_P(Names, LongestName,
                         ::testing::Combine(::testing::Values(Existing::kKeep, Existing::kReplace),
                                            ::testing::Bool()));

}  // namespace
