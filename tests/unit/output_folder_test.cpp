// Outputs written through an opened folder: all of a set named or none, never over
// something that must be kept, never where the folder's path leads meanwhile, and on
// failure or a signal nothing left of what the set made.
#include "io/output_folder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "io/output_folder_testing.h"
#include "pack_support.h"
#include "unprivileged.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kAlreadyThere = "a file is already there; it is kept, and nothing is written";
const std::vector<std::string> kNames = {"first.bin", "second.bin", "third.bin"};

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes ContentOf(const std::string& name) { return BytesOf("written as " + name + "\n"); }

FileIdentity IdentityOfPath(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return {status.st_dev, status.st_ino};
}

struct stat LinkStatus(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::string Problems(const Report& report) {
  std::string text;
  for (const Problem& problem : report) {
    text += problem.subject + ": " + problem.what + "\n";
  }
  return text;
}

class OutputFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tq30-outputs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    UseNamedTemporariesOnly(false);
  }
  void TearDown() override {
    DiscardOutputs();
    UseNamedTemporariesOnly(false);
    fs::remove_all(dir);
  }
  // Creates `names` in the set begun, each written with ContentOf(name).
  void CreateAll(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      std::size_t output = 99;
      ASSERT_TRUE(CreateOutput(name, &output, &report)) << Problems(report);
      const Bytes bytes = ContentOf(name);
      ASSERT_TRUE(WriteOutput(output, bytes.data(), bytes.size(), &report)) << Problems(report);
    }
  }

  std::string dir;
  Report report;
};

// Every output of a set named, each with its bytes and nothing else in the folder.
class Placing : public OutputFolderTest,
                public ::testing::WithParamInterface<std::tuple<Existing, bool>> {};

TEST_P(Placing, NamesEveryOutputAndLeavesNoTemporary) {
  UseNamedTemporariesOnly(std::get<1>(GetParam()));
  ASSERT_TRUE(BeginOutputs(dir, false, std::get<0>(GetParam()), {}, &report)) << Problems(report);
  CreateAll(kNames);
  EXPECT_EQ(OutputPath(1), dir + "/second.bin");
  ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"first.bin", "second.bin", "third.bin"}));
  for (const std::string& name : kNames) {
    EXPECT_EQ(ReadBytes(dir + "/" + name), ContentOf(name)) << name;
  }
  EXPECT_TRUE(report.empty());
}

INSTANTIATE_TEST_SUITE_P(Outputs, Placing,
                         ::testing::Combine(::testing::Values(Existing::kKeep, Existing::kReplace),
                                            ::testing::Bool()));

// Something appears at the name of output `at` after the outputs were created: that
// output is refused when naming, the ones named before it are unnamed again, and what
// appeared is as it was.
struct Appearing {
  const char* name;
  Existing existing;
  std::size_t at;
  void (*plant)(const std::string& path, const std::string& dir);
  const char* problem;
};
void PrintTo(const Appearing& c, std::ostream* out) { *out << c.name; }

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
    {"ReplaceALinkAtTheFirst", Existing::kReplace, 0, PlantLink,
     "a symbolic link, not a regular file; it is kept, and nothing is written"},
    {"ReplaceAFifoInTheMiddle", Existing::kReplace, 1, PlantFifo,
     "a FIFO, not a regular file; it is kept, and nothing is written"},
    {"ReplaceAFolderAtTheLast", Existing::kReplace, 2, PlantFolder,
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
  ASSERT_TRUE(BeginOutputs(out, false, c.existing, {}, &report)) << Problems(report);
  CreateAll(kNames);
  const std::string path = out + "/" + kNames[c.at];
  c.plant(path, dir);
  const struct stat before = LinkStatus(path);
  const Bytes bytes = S_ISREG(before.st_mode) ? ReadBytes(path) : Bytes{};

  EXPECT_FALSE(PlaceOutputs(&report));
  EXPECT_EQ(Problems(report), path + ": " + c.problem + "\n");
  EXPECT_EQ(FolderEntries(out), std::vector<std::string>{kNames[c.at]});
  const struct stat after = LinkStatus(path);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  if (S_ISREG(before.st_mode)) {
    EXPECT_EQ(ReadBytes(path), bytes);
  }
  EXPECT_EQ(ReadBytes(dir + "/victim"), BytesOf("victim"));
  // The set is over: another may begin.
  EXPECT_TRUE(BeginOutputs(out, false, c.existing, {}, &report)) << Problems(report);
}

INSTANTIATE_TEST_SUITE_P(Names, AllOrNone,
                         ::testing::Combine(::testing::ValuesIn(kAppearing), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Named" : "Unnamed");
                         });

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
void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.name; }

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
  ASSERT_TRUE(BeginOutputs(dir, false, Existing::kReplace, {}, &report)) << Problems(report);
  CreateAll({"first.bin"});
  const bool placed = PlaceOutputs(&report);
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
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Named" : "Unnamed");
                         });

// What is not a regular file is refused before anything is written, and stays as it was.
struct NotRegular {
  const char* name;
  void (*plant)(const std::string& path, const std::string& dir);
  const char* kind;
};
void PrintTo(const NotRegular& c, std::ostream* out) { *out << c.name; }

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
  ASSERT_TRUE(BeginOutputs(out, false, std::get<1>(GetParam()), {}, &report));
  std::size_t output = 99;
  EXPECT_FALSE(CreateOutput("first.bin", &output, &report));
  const std::string problem =
      std::get<1>(GetParam()) == Existing::kKeep
          ? kAlreadyThere
          : std::string(c.kind) + ", not a regular file; it is kept, and nothing is written";
  EXPECT_EQ(Problems(report), path + ": " + problem + "\n");
  EXPECT_EQ(output, 99u);
  DiscardOutputs();
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
// written over, whether it was there at CreateOutput or only when naming.
struct InputCase {
  const char* name;
  const char* target;
  bool linkedAfterCreating;
};
void PrintTo(const InputCase& c, std::ostream* out) { *out << c.name; }

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
  ASSERT_TRUE(BeginOutputs(dir, false, Existing::kReplace, inputs, &report)) << Problems(report);
  const std::string path = dir + "/" + GetParam().target;
  const std::string problem =
      path + ": the file is one of the command's inputs; it is kept, and nothing is written\n";
  std::size_t output = 99;
  if (GetParam().linkedAfterCreating) {
    ASSERT_TRUE(CreateOutput(GetParam().target, &output, &report)) << Problems(report);
    ASSERT_TRUE(WriteOutput(output, "new", 3, &report));
    fs::create_hard_link(input, alias);
    EXPECT_FALSE(PlaceOutputs(&report));
  } else {
    EXPECT_FALSE(CreateOutput(GetParam().target, &output, &report));
    DiscardOutputs();
  }
  EXPECT_EQ(Problems(report), problem);
  EXPECT_EQ(ReadBytes(input), BytesOf("the input"));
  EXPECT_EQ(IdentityOfPath(path).inode, IdentityOfPath(input).inode);
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"alias.exe", "input.exe"}));
}

INSTANTIATE_TEST_SUITE_P(Inputs, InputAsTarget, ::testing::ValuesIn(kInputCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An output folder that is the payload folder or lies anywhere inside it, however the
// path gets there, is refused, and the folders made on the way there go again.
struct InsideCase {
  const char* name;
  const char* folder;  // under dir
  bool create;
  bool refused;
};
void PrintTo(const InsideCase& c, std::ostream* out) { *out << c.name; }

const InsideCase kInsideCases[] = {
    {"ThePayloadFolder", "/payload", false, true},
    {"ThePayloadFolderWithASlash", "/payload/", false, true},
    {"ThroughDotDot", "/payload/sub/..", false, true},
    {"ASubfolder", "/payload/sub/deeper", false, true},
    {"ThroughALinkOutside", "/into-sub/deeper", false, true},
    {"NewFoldersInside", "/payload/sub/new/newer", true, true},
    {"ASiblingFolder", "/other", false, false},
    {"TheParentFolder", "/payload/..", false, false},
    {"NewFoldersBeside", "/other/new", true, false},
};

class InsideTheInputs : public OutputFolderTest,
                        public ::testing::WithParamInterface<InsideCase> {};

TEST_P(InsideTheInputs, AreRefused) {
  fs::create_directories(dir + "/payload/sub/deeper");
  fs::create_directory(dir + "/other");
  fs::create_directory_symlink(dir + "/payload/sub", dir + "/into-sub");
  WriteBytes(dir + "/payload/readme.txt", BytesOf("payload"));
  Inputs inputs;
  inputs.folders.push_back(IdentityOfPath(dir + "/payload"));
  const std::string folder = dir + GetParam().folder;
  const bool begun = BeginOutputs(folder, GetParam().create, Existing::kReplace, inputs, &report);
  EXPECT_EQ(begun, !GetParam().refused) << Problems(report);
  if (GetParam().refused) {
    EXPECT_EQ(
        Problems(report),
        folder +
            ": is the payload folder or lies inside it, which is only read; nothing is written\n");
  }
  DiscardOutputs();
  EXPECT_EQ(FolderEntries(dir + "/payload"), (std::vector<std::string>{"readme.txt", "sub"}));
  EXPECT_EQ(FolderEntries(dir + "/payload/sub"), std::vector<std::string>{"deeper"});
  EXPECT_EQ(FolderEntries(dir + "/other"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Folders, InsideTheInputs, ::testing::ValuesIn(kInsideCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A name as long as a file system allows is written: the temporary names are short.
class LongestName : public OutputFolderTest,
                    public ::testing::WithParamInterface<std::tuple<Existing, bool>> {};

TEST_P(LongestName, IsWrittenAndOneLongerIsRefused) {
  UseNamedTemporariesOnly(std::get<1>(GetParam()));
  const std::string longest(255, 'n');
  WriteBytes(dir + "/" + longest, BytesOf("old"));
  if (std::get<0>(GetParam()) == Existing::kKeep) {
    fs::remove(dir + "/" + longest);
  }
  ASSERT_TRUE(BeginOutputs(dir, false, std::get<0>(GetParam()), {}, &report)) << Problems(report);
  CreateAll({longest});
  std::size_t output = 99;
  EXPECT_FALSE(CreateOutput(longest + "n", &output, &report));
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].what, "cannot create a file in its folder: File name too long");
  report.clear();
  ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{longest});
  EXPECT_EQ(ReadBytes(dir + "/" + longest), ContentOf(longest));
}

INSTANTIATE_TEST_SUITE_P(Names, LongestName,
                         ::testing::Combine(::testing::Values(Existing::kKeep, Existing::kReplace),
                                            ::testing::Bool()));

// Where there are no unnamed files, each output has a short hidden name of its own while
// it is written, which goes once it is named or discarded; otherwise it has none.
struct TemporaryCase {
  const char* name;
  bool namedOnly;
  bool placed;
};
void PrintTo(const TemporaryCase& c, std::ostream* out) { *out << c.name; }

const TemporaryCase kTemporaryCases[] = {
    {"UnnamedPlaced", false, true},
    {"UnnamedDiscarded", false, false},
    {"NamedPlaced", true, true},
    {"NamedDiscarded", true, false},
};

class Temporaries : public OutputFolderTest, public ::testing::WithParamInterface<TemporaryCase> {};

TEST_P(Temporaries, AreHiddenShortAndGoAgain) {
  UseNamedTemporariesOnly(GetParam().namedOnly);
  ASSERT_TRUE(BeginOutputs(dir, false, Existing::kKeep, {}, &report));
  CreateAll(kNames);
  const std::vector<std::string> during = FolderEntries(dir);
  ASSERT_EQ(during.size(), GetParam().namedOnly ? kNames.size() : 0u);
  for (const std::string& name : during) {
    EXPECT_EQ(name[0], '.');
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find("bin"), std::string::npos) << "derived from the output's name";
  }
  if (GetParam().placed) {
    ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
    EXPECT_EQ(FolderEntries(dir),
              (std::vector<std::string>{"first.bin", "second.bin", "third.bin"}));
  } else {
    DiscardOutputs();
    EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Temporaries, ::testing::ValuesIn(kTemporaryCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The folder renamed away after the outputs were created, and a link to someone else's
// folder put at its path: nothing is written into that folder, and nothing of it removed.
struct SwapCase {
  const char* name;
  bool namedOnly;
  bool placed;
};
void PrintTo(const SwapCase& c, std::ostream* out) { *out << c.name; }

const SwapCase kSwapCases[] = {
    {"PlacedUnnamed", false, true},
    {"PlacedNamed", true, true},
    {"DiscardedUnnamed", false, false},
    {"DiscardedNamed", true, false},
};

class OutputFolderSwapped : public OutputFolderTest,
                            public ::testing::WithParamInterface<SwapCase> {};

TEST_P(OutputFolderSwapped, LeavesTheVictimAlone) {
  UseNamedTemporariesOnly(GetParam().namedOnly);
  const std::string out = dir + "/out";
  ASSERT_TRUE(BeginOutputs(out, true, Existing::kReplace, {}, &report)) << Problems(report);
  CreateAll({"first.bin"});
  fs::rename(out, dir + "/moved");
  fs::create_directory(dir + "/victim");
  WriteBytes(dir + "/victim/first.bin", BytesOf("victim's"));
  fs::create_directory_symlink(dir + "/victim", out);
  if (GetParam().placed) {
    ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
    EXPECT_EQ(FolderEntries(dir + "/moved"), std::vector<std::string>{"first.bin"});
    EXPECT_EQ(ReadBytes(dir + "/moved/first.bin"), ContentOf("first.bin"));
  } else {
    DiscardOutputs();
    EXPECT_EQ(FolderEntries(dir + "/moved"), std::vector<std::string>{});
  }
  EXPECT_EQ(FolderEntries(dir + "/victim"), std::vector<std::string>{"first.bin"});
  EXPECT_EQ(ReadBytes(dir + "/victim/first.bin"), BytesOf("victim's"));
  EXPECT_TRUE(fs::is_symlink(out));
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"moved", "out", "victim"}));
}

INSTANTIATE_TEST_SUITE_P(Swaps, OutputFolderSwapped, ::testing::ValuesIn(kSwapCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Folders made step by step, ".." steps too, and removed again deepest first: only those
// made, only while empty.
struct MadeCase {
  const char* name;
  const char* folder;  // under dir
  void (*before)(const std::string& dir);
  void (*during)(const std::string& dir);  // after BeginOutputs, before DiscardOutputs
  std::vector<std::string> made;           // folders BeginOutputs made, under dir
  std::vector<std::string> left;           // what is left after DiscardOutputs, under dir
};
void PrintTo(const MadeCase& c, std::ostream* out) { *out << c.name; }

const MadeCase kMadeCases[] = {
    {"AllFour", "/a/n/b/../c", nullptr, nullptr, {"/a", "/a/n", "/a/n/b", "/a/n/c"}, {}},
    {"TrailingSlashes", "/a//n/./b/", nullptr, nullptr, {"/a", "/a/n", "/a/n/b"}, {}},
    {"BelowOneThatWasThere",
     "/a/n/b/../c",
     [](const std::string& dir) { fs::create_directory(dir + "/a"); },
     nullptr,
     {"/a/n", "/a/n/b", "/a/n/c"},
     {"/a"}},
    {"AFileAddedMeanwhileKeepsItsFolders",
     "/a/n/b/../c",
     nullptr,
     [](const std::string& dir) { WriteBytes(dir + "/a/n/b/own", BytesOf("own")); },
     {"/a", "/a/n", "/a/n/b", "/a/n/c"},
     {"/a", "/a/n", "/a/n/b", "/a/n/b/own"}},
    {"AFolderPutInThePlaceOfOneMade",
     "/a/n/b/../c",
     nullptr,
     [](const std::string& dir) {
       fs::rename(dir + "/a/n/c", dir + "/c-moved");
       fs::create_directory(dir + "/a/n/c");
     },
     {"/a", "/a/n", "/a/n/b", "/a/n/c"},
     {"/a", "/a/n", "/a/n/c", "/c-moved"}},
};

class MadeFolders : public OutputFolderTest, public ::testing::WithParamInterface<MadeCase> {};

std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    paths.push_back(entry.path().string().substr(root.size()));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST_P(MadeFolders, GoAgainOnDiscard) {
  if (GetParam().before != nullptr) {
    GetParam().before(dir);
  }
  const std::vector<std::string> there = Tree(dir);
  ASSERT_TRUE(BeginOutputs(dir + GetParam().folder, true, Existing::kKeep, {}, &report))
      << Problems(report);
  std::vector<std::string> expected = there;
  expected.insert(expected.end(), GetParam().made.begin(), GetParam().made.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Tree(dir), expected);
  CreateAll({"first.bin"});
  if (GetParam().during != nullptr) {
    GetParam().during(dir);
  }
  DiscardOutputs();
  EXPECT_EQ(Tree(dir), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Paths, MadeFolders, ::testing::ValuesIn(kMadeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The folder refused when it is not one, or cannot be reached; with `create`, the folders
// made on the way go again.
struct BadFolder {
  const char* name;
  std::string folder;  // under dir
  bool create;
  const char* problem;
};
void PrintTo(const BadFolder& c, std::ostream* out) { *out << c.name; }

const BadFolder kBadFolders[] = {
    {"Missing", "/missing", false, "cannot open the folder: No such file or directory"},
    {"MissingParent", "/missing/deeper", false,
     "cannot open the folder: No such file or directory"},
    {"AFile", "/plain", false, "not a folder"},
    {"AFileWithCreate", "/plain", true, "not a folder"},
    {"UnderAFile", "/plain/sub", true, "cannot create the folder: Not a directory"},
    {"NewUnderAFile", "/new/../plain/sub", true, "cannot create the folder: Not a directory"},
    {"ALinkToAFolder", "/link", false, "a symbolic link, not a folder; it is not followed"},
    {"ALinkWithASlash", "/link/", true, "a symbolic link, not a folder; it is not followed"},
    {"ALinkWithADot", "/link/.", false, "a symbolic link, not a folder; it is not followed"},
    {"ADanglingLink", "/dangling", true, "a symbolic link, not a folder; it is not followed"},
    {"ALoop", "/loop/sub", true, "cannot create the folder: Too many levels of symbolic links"},
    {"MoreFoldersMissingThanAreMade",
     [] {
       std::string deep;
       for (int i = 0; i < 65; ++i) deep += "/d";
       return deep;
     }(),
     true, "cannot create the folder: more than 64 of its folders are missing"},
    {"ANameTooLong", "/new/newer/" + std::string(256, 'n'), true,
     "cannot create the folder: File name too long"},
};

class BadFolders : public OutputFolderTest, public ::testing::WithParamInterface<BadFolder> {};

TEST_P(BadFolders, AreRefusedOnOneLine) {
  WriteBytes(dir + "/plain", BytesOf("plain"));
  fs::create_directory(dir + "/real");
  fs::create_directory_symlink(dir + "/real", dir + "/link");
  fs::create_directory_symlink(dir + "/nowhere", dir + "/dangling");
  fs::create_directory_symlink(dir + "/loop", dir + "/loop");
  const std::vector<std::string> before = Tree(dir);
  const std::string folder = dir + GetParam().folder;
  EXPECT_FALSE(BeginOutputs(folder, GetParam().create, Existing::kReplace, {}, &report));
  EXPECT_EQ(Problems(report), folder + ": " + GetParam().problem + "\n");
  EXPECT_EQ(Tree(dir), before);
  std::size_t output = 99;
  EXPECT_FALSE(CreateOutput("first.bin", &output, &report)) << "no set was begun";
}

INSTANTIATE_TEST_SUITE_P(Folders, BadFolders, ::testing::ValuesIn(kBadFolders),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutputFolderTest, ALinkBeforeTheLastStepIsFollowed) {
  fs::create_directory(dir + "/real");
  fs::create_directory_symlink(dir + "/real", dir + "/link");
  ASSERT_TRUE(BeginOutputs(dir + "/link/new", true, Existing::kKeep, {}, &report))
      << Problems(report);
  CreateAll({"first.bin"});
  ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
  EXPECT_EQ(ReadBytes(dir + "/real/new/first.bin"), ContentOf("first.bin"));
}

// Root may search any folder, so an unsearchable one is tried as nobody.
TEST_F(OutputFolderTest, AnUnsearchableFolderIsRefusedWithTheReason) {
  fs::permissions(dir, fs::perms::all);
  fs::create_directory(dir + "/locked");
  fs::permissions(dir + "/locked", fs::perms::owner_all);
  std::string childReport;
  const int code = RunUnprivileged(
      [&](std::string* out) {
        Report problems;
        const bool begun = BeginOutputs(dir + "/locked/sub", true, Existing::kKeep, {}, &problems);
        *out = Problems(problems);
        return begun ? 1 : 0;
      },
      &childReport);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(childReport, dir + "/locked/sub: cannot create the folder: Permission denied\n");
  EXPECT_EQ(FolderEntries(dir + "/locked"), std::vector<std::string>{});
}

// Nothing stays open once a set has ended, however it ended.
TEST_F(OutputFolderTest, EverythingIsClosedWhenTheSetEnds) {
  const auto openFiles = [] {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      (void)entry;
      ++count;
    }
    return count;
  };
  const std::size_t before = openFiles();
  for (const bool named : {false, true}) {
    for (const bool placed : {false, true}) {
      UseNamedTemporariesOnly(named);
      ASSERT_TRUE(BeginOutputs(dir + "/a/n/b/../c", true, Existing::kReplace, {}, &report));
      CreateAll(kNames);
      EXPECT_GE(openFiles(), before + 4 + kNames.size());
      if (placed) {
        ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
      } else {
        DiscardOutputs();
      }
      EXPECT_EQ(openFiles(), before) << named << placed;
      fs::remove_all(dir + "/a");
    }
  }
}

// Past a file size limit the write fails, naming the output, instead of the process
// being killed; the output then goes with the folders made for it.
TEST_F(OutputFolderTest, AWritePastTheFileSizeLimitFailsWithTheReason) {
  ASSERT_TRUE(BeginOutputs(dir + "/new/deeper/", true, Existing::kKeep, {}, &report));
  std::size_t output = 99;
  ASSERT_TRUE(CreateOutput("big.bin", &output, &report));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Bytes bytes(8192, 0x5a);
  const bool written = WriteOutput(output, bytes.data(), bytes.size(), &report);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(written);
  EXPECT_EQ(Problems(report), dir + "/new/deeper//big.bin: cannot write: File too large\n");
  DiscardOutputs();
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{});
}

// A checksum field written at its offset afterwards; appending goes on where the last
// append ended, however far the descriptor was read.
TEST_F(OutputFolderTest, WritesAtAnOffsetAndReadsBack) {
  ASSERT_TRUE(BeginOutputs(dir, false, Existing::kKeep, {}, &report));
  std::size_t output = 99;
  ASSERT_TRUE(CreateOutput("sum.bin", &output, &report));
  ASSERT_TRUE(WriteOutput(output, "hello world", 11, &report));
  ASSERT_TRUE(WriteOutputAt(output, 0, "J", 1, &report));
  char back[16] = {};
  ASSERT_EQ(::pread(OutputDescriptor(output), back, sizeof back, 0), 11);
  EXPECT_EQ(std::string(back, 11), "Jello world");
  ASSERT_EQ(::lseek(OutputDescriptor(output), 0, SEEK_SET), 0);
  ASSERT_EQ(::read(OutputDescriptor(output), back, 3), 3);
  ASSERT_TRUE(WriteOutput(output, "!", 1, &report));
  EXPECT_FALSE(WriteOutput(output + 1, "!", 1, &report));
  EXPECT_EQ(Problems(report), dir + ": no output 1 is being written\n");
  report.clear();
  ASSERT_TRUE(PlaceOutputs(&report)) << Problems(report);
  EXPECT_EQ(ReadBytes(dir + "/sum.bin"), BytesOf("Jello world!"));
  EXPECT_EQ(OutputDescriptor(output), -1);
}

TEST_F(OutputFolderTest, OnlyBareNamesEachOnceAndOneSetAtATime) {
  ASSERT_TRUE(BeginOutputs(dir, false, Existing::kReplace, {}, &report));
  EXPECT_FALSE(BeginOutputs(dir, false, Existing::kReplace, {}, &report));
  std::size_t output = 99;
  for (const char* name : {"", ".", "..", "sub/name"}) {
    EXPECT_FALSE(CreateOutput(name, &output, &report)) << name;
  }
  ASSERT_TRUE(CreateOutput("once", &output, &report));
  EXPECT_FALSE(CreateOutput("once", &output, &report));
  EXPECT_EQ(Problems(report), dir + ": another set of outputs is still being written\n" + dir +
                                  "/: not a bare file name\n" + dir + "/.: not a bare file name\n" +
                                  dir + "/..: not a bare file name\n" + dir +
                                  "/sub/name: not a bare file name\n" + dir +
                                  "/once: named twice among the outputs\n");
}

// The handlers are the set's only while it lasts; an ignored signal stays ignored, and a
// file size limit never kills.
void CountSignal(int) {}

TEST_F(OutputFolderTest, HandlersAreRestoredAndIgnoredSignalsStayIgnored) {
  struct sigaction own {};
  own.sa_handler = CountSignal;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction savedUsr2 {};
  struct sigaction savedHup {};
  ASSERT_EQ(::sigaction(SIGUSR2, &own, &savedUsr2), 0);
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &savedHup), 0);
  struct sigaction now {};
  ASSERT_TRUE(BeginOutputs(dir, false, Existing::kKeep, {}, &report));
  for (const int signal : {SIGUSR2, SIGTERM, SIGSEGV, SIGRTMIN, SIGRTMAX}) {
    ASSERT_EQ(::sigaction(signal, nullptr, &now), 0);
    EXPECT_NE(now.sa_handler, SIG_DFL) << signal;
    EXPECT_NE(now.sa_handler, CountSignal) << signal;
  }
  ASSERT_EQ(::sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ASSERT_EQ(::sigaction(SIGXFSZ, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ASSERT_TRUE(PlaceOutputs(&report));
  ASSERT_EQ(::sigaction(SIGUSR2, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, CountSignal);
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  ASSERT_EQ(::sigaction(SIGXFSZ, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  ASSERT_EQ(::sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  (void)::sigaction(SIGUSR2, &savedUsr2, nullptr);
  (void)::sigaction(SIGHUP, &savedHup, nullptr);
}

// A signal that ends the process while an output is being written, in a child: neither the
// output, its temporary nor the folders made for it are left.
class OutputsInterrupted : public OutputFolderTest,
                           public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(OutputsInterrupted, WhileWritingLeavesNothing) {
  const int signal = std::get<0>(GetParam());
  const bool namedOnly = std::get<1>(GetParam());
  const std::string folder = dir + "/new/n/../deeper";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  (void)std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    (void)::sigaction(signal, &fallback, nullptr);
    UseNamedTemporariesOnly(namedOnly);
    Report problems;
    std::size_t output = 0;
    if (!BeginOutputs(folder, true, Existing::kReplace, {}, &problems) ||
        !CreateOutput("big.bin", &output, &problems)) {
      ::_exit(2);
    }
    const Bytes chunk(1 << 16, 0x5a);
    (void)!::write(ready[1], "w", 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (std::uint64_t i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
      if (!WriteOutputAt(output, (i % 64) * chunk.size(), chunk.data(), chunk.size(), &problems)) {
        ::_exit(3);
      }
    }
    ::_exit(4);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  // Made, and with a temporary in it when there is one to remove.
  EXPECT_EQ(FolderEntries(dir + "/new"), (std::vector<std::string>{"deeper", "n"}));
  EXPECT_EQ(FolderEntries(dir + "/new/deeper").size(), namedOnly ? 1u : 0u);
  ASSERT_EQ(::kill(child, signal), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
  EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, signal);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signals, OutputsInterrupted,
                         ::testing::Combine(::testing::Values(SIGUSR1, SIGALRM, SIGPIPE, SIGTERM),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(sigabbrev_np(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "Named" : "Unnamed");
                         });

}  // namespace
